#include "qvlogging.h"

Q_LOGGING_CATEGORY(qvLink, "qv.link", QtWarningMsg)
Q_LOGGING_CATEGORY(qvTransport, "qv.transport", QtWarningMsg)
Q_LOGGING_CATEGORY(qvProfile, "qv.profile", QtWarningMsg)
Q_LOGGING_CATEGORY(qvResults, "qv.results", QtWarningMsg)
Q_LOGGING_CATEGORY(qvModel, "qv.model", QtWarningMsg)
Q_LOGGING_CATEGORY(qvCommon, "qv.common", QtWarningMsg)
