<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>ProfileEditor</name>
    <message>
        <source>The profile %1 does not exist or cannot be opened: the values shown are the defaults, and nothing can be changed.</source>
        <translation>配置文件 %1 不存在或无法打开：显示的是默认值，不能修改。</translation>
    </message>
    <message>
        <source>Profile settings - %1</source>
        <translation>配置 - %1</translation>
    </message>
    <message>
        <source>Profile settings - %1 (not found)</source>
        <translation>配置 - %1（未找到）</translation>
    </message>
</context>
<context>
    <name>ProfileSettingItem</name>
    <message>
        <source>stored in the profile</source>
        <translation>已保存在配置文件中</translation>
    </message>
    <message>
        <source>not stored: the default is shown</source>
        <translation>未保存：显示默认值</translation>
    </message>
</context>
</TS>
