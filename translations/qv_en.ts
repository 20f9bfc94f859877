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
    <message>
        <source>The line was closed during the exchange</source>
        <translation>The line was closed during the exchange</translation>
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
    <message>
        <source>Statim samples</source>
        <translation>Statim samples</translation>
    </message>
    <message>
        <source>Quality-control samples</source>
        <translation>Quality-control samples</translation>
    </message>
    <message>
        <source>Preparing</source>
        <translation>Preparing</translation>
    </message>
    <message>
        <source>Cannot be calculated</source>
        <translation>Cannot be calculated</translation>
    </message>
    <message>
        <source>Incubating</source>
        <translation>Incubating</translation>
    </message>
    <message>
        <source>Analysing</source>
        <translation>Analysing</translation>
    </message>
    <message>
        <source>Not clotted</source>
        <translation>Not clotted</translation>
    </message>
    <message>
        <source>Diluted</source>
        <translation>Diluted</translation>
    </message>
    <message>
        <source>Below the report range</source>
        <translation>Below the report range</translation>
    </message>
    <message>
        <source>Above the report range</source>
        <translation>Above the report range</translation>
    </message>
    <message>
        <source>Below the marking limit</source>
        <translation>Below the marking limit</translation>
    </message>
    <message>
        <source>Above the marking limit</source>
        <translation>Above the marking limit</translation>
    </message>
    <message>
        <source>Entered by hand</source>
        <translation>Entered by hand</translation>
    </message>
    <message>
        <source>Replicates differ</source>
        <translation>Replicates differ</translation>
    </message>
    <message>
        <source>Waiting</source>
        <translation>Waiting</translation>
    </message>
    <message>
        <source>Dispensing</source>
        <translation>Dispensing</translation>
    </message>
    <message>
        <source>Result without a number</source>
        <translation>Result without a number</translation>
    </message>
    <message>
        <source>Assays shown in analysis</source>
        <translation>Assays shown in analysis</translation>
    </message>
    <message>
        <source>Patient fields shown</source>
        <translation>Patient fields shown</translation>
    </message>
    <message>
        <source>Most quality-control files</source>
        <translation>Most quality-control files</translation>
    </message>
    <message>
        <source>Quality-control method</source>
        <translation>Quality-control method</translation>
    </message>
    <message>
        <source>Hospital</source>
        <translation>Hospital</translation>
    </message>
    <message>
        <source>Touch screen</source>
        <translation>Touch screen</translation>
    </message>
    <message>
        <source>Sample prefixes</source>
        <translation>Sample prefixes</translation>
    </message>
    <message>
        <source>Result texts</source>
        <translation>Result texts</translation>
    </message>
    <message>
        <source>Result markers</source>
        <translation>Result markers</translation>
    </message>
    <message>
        <source>Colours</source>
        <translation>Colours</translation>
    </message>
    <message>
        <source>Display</source>
        <translation>Display</translation>
    </message>
    <message>
        <source>Quality control</source>
        <translation>Quality control</translation>
    </message>
    <message>
        <source>它不是普通文件</source>
        <translation>it is not a regular file</translation>
    </message>
    <message>
        <source>它不是 UTF-8 文本</source>
        <translation>it is not UTF-8 text</translation>
    </message>
    <message>
        <source>它的格式有误</source>
        <translation>its format is wrong</translation>
    </message>
    <message>
        <source>无法打开数据库文件 %1
%2</source>
        <translation>Cannot open the database file %1
%2</translation>
    </message>
    <message>
        <source>无法读取启动设置 %1
%2</source>
        <translation>Cannot read the start-up settings %1
%2</translation>
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
    <message>
        <source>Connection refused</source>
        <translation>Connection refused</translation>
    </message>
    <message>
        <source>Socket operation timed out</source>
        <translation>Socket operation timed out</translation>
    </message>
    <message>
        <source>Network unreachable</source>
        <translation>Network unreachable</translation>
    </message>
    <message>
        <source>Host unreachable</source>
        <translation>Host unreachable</translation>
    </message>
    <message>
        <source>The connection was cancelled</source>
        <translation>The connection was cancelled</translation>
    </message>
</context>
</TS>
