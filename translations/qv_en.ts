<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
<context>
    <name>DeviceDriver</name>
    <message>
        <source>The line was closed at the other end</source>
        <translation>The line was closed at the other end</translation>
    </message>
    <message>
        <source>Operation timed out</source>
        <translation>Operation timed out</translation>
    </message>
</context>
<context>
    <name>ModbusClient</name>
    <message>
        <source>Request too short</source>
        <translation>Request too short</translation>
    </message>
</context>
<context>
    <name>OemInfo</name>
    <message>
        <source>0001</source>
        <translation>0001</translation>
    </message>
    <message>
        <source>凝析仪器</source>
        <translation>Ningxi Instruments</translation>
    </message>
    <message>
        <source>凝血分析系统</source>
        <translation>Coagulation Analysis System</translation>
    </message>
    <message>
        <source>&lt;h2&gt;%1&lt;/h2&gt;
&lt;table width=480&gt;
&lt;tr&gt;
  &lt;td&gt;发布版本: %2&lt;/td&gt;
  &lt;td&gt;完整版本: %3&lt;/td&gt;
  &lt;td&gt;文件版本: %4&lt;/td&gt;
&lt;/tr&gt;
&lt;/table&gt;</source>
        <translation>&lt;h2&gt;%1&lt;/h2&gt;
&lt;table width=480&gt;
&lt;tr&gt;
  &lt;td&gt;Release: %2&lt;/td&gt;
  &lt;td&gt;Full version: %3&lt;/td&gt;
  &lt;td&gt;File version: %4&lt;/td&gt;
&lt;/tr&gt;
&lt;/table&gt;</translation>
    </message>
    <message>
        <source>ReportDesigner</source>
        <translation>ReportDesigner</translation>
    </message>
</context>
<context>
    <name>Profile</name>
    <message>
        <source>M</source>
        <translation>M</translation>
    </message>
    <message>
        <source>!</source>
        <translation>!</translation>
    </message>
    <message>
        <source>&lt;</source>
        <translation>&lt;</translation>
    </message>
    <message>
        <source>&gt;</source>
        <translation>&gt;</translation>
    </message>
    <message>
        <source>↓</source>
        <translation>↓</translation>
    </message>
    <message>
        <source>↑</source>
        <translation>↑</translation>
    </message>
    <message>
        <source>不凝</source>
        <translation>No clot</translation>
    </message>
    <message>
        <source>---.-</source>
        <translation>---.-</translation>
    </message>
    <message>
        <source>找不到配置文件 %1</source>
        <translation>Cannot find the profile %1</translation>
    </message>
    <message>
        <source>无法加载配置文件 %1
%2</source>
        <translation>Cannot load the profile %1
%2</translation>
    </message>
    <message>
        <source>错误的配置文件 %1</source>
        <translation>Invalid profile %1</translation>
    </message>
    <message>
        <source>无法打开数据库文件 %1</source>
        <translation>Cannot open the database file %1</translation>
    </message>
    <message>
        <source>错误的数据库文件 %1</source>
        <translation>Invalid database file %1</translation>
    </message>
</context>
<context>
    <name>PropertyItemModel</name>
    <message>
        <source>名称</source>
        <translation>Name</translation>
    </message>
    <message>
        <source>值</source>
        <translation>Value</translation>
    </message>
</context>
<context>
    <name>QObject</name>
    <message>
        <source>结果为空</source>
        <translation>Empty result</translation>
    </message>
    <message>
        <source>无效的值</source>
        <translation>Invalid value</translation>
    </message>
    <message>
        <source>未知错误</source>
        <translation>Unknown error</translation>
    </message>
    <message>
        <source>无标准曲线</source>
        <translation>No standard curve</translation>
    </message>
    <message>
        <source>标准曲线无效</source>
        <translation>Invalid standard curve</translation>
    </message>
    <message>
        <source>标准曲线设置错误</source>
        <translation>Wrong standard curve settings</translation>
    </message>
    <message>
        <source>无效的计算方法</source>
        <translation>Invalid calculation method</translation>
    </message>
    <message>
        <source>计算所需的参数不存在</source>
        <translation>A parameter the calculation needs is missing</translation>
    </message>
</context>
<context>
    <name>SocketDriver</name>
    <message>
        <source>No port number in &quot;%1&quot;</source>
        <translation>No port number in &quot;%1&quot;</translation>
    </message>
    <message>
        <source>The remote host closed the connection</source>
        <translation>The remote host closed the connection</translation>
    </message>
</context>
</TS>
