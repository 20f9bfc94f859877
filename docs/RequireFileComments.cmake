# cmake -DHEADERS=a.h;b.h -P RequireFileComments.cmake: fails unless every header has a
# \file comment. Doxygen checks the free functions, macros and namespace members of a
# header only when the header itself is documented, so one without it would slip
# through the check unseen.
set(missing)
foreach(header IN LISTS HEADERS)
    file(STRINGS "${header}" lines REGEX "[\\\\@]file[ \t]")
    if(NOT lines)
        list(APPEND missing "${header}")
    endif()
endforeach()
if(missing)
    list(JOIN missing "\n  " missing)
    message(FATAL_ERROR "Headers without a \\file comment (Doxygen would not check their free symbols):\n  ${missing}")
endif()
