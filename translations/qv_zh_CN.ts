<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN" sourcelanguage="zh_CN">
<context>
    <name>DeviceDriver</name>
    <message>
        <source>The line was closed at the other end</source>
        <translation>线路已被对端关闭</translation>
    </message>
    <message>
        <source>Operation timed out</source>
        <translation>操作超时</translation>
    </message>
</context>
<context>
    <name>ModbusClient</name>
    <message>
        <source>Request too short</source>
        <translation>请求太短</translation>
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
        <translation>凝析仪器</translation>
    </message>
    <message>
        <source>凝血分析系统</source>
        <translation>凝血分析系统</translation>
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
  &lt;td&gt;发布版本: %2&lt;/td&gt;
  &lt;td&gt;完整版本: %3&lt;/td&gt;
  &lt;td&gt;文件版本: %4&lt;/td&gt;
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
        <translation>不凝</translation>
    </message>
    <message>
        <source>---.-</source>
        <translation>---.-</translation>
    </message>
    <message>
        <source>找不到配置文件 %1</source>
        <translation>找不到配置文件 %1</translation>
    </message>
    <message>
        <source>无法加载配置文件 %1
%2</source>
        <translation>无法加载配置文件 %1
%2</translation>
    </message>
    <message>
        <source>错误的配置文件 %1</source>
        <translation>错误的配置文件 %1</translation>
    </message>
    <message>
        <source>无法打开数据库文件 %1</source>
        <translation>无法打开数据库文件 %1</translation>
    </message>
    <message>
        <source>错误的数据库文件 %1</source>
        <translation>错误的数据库文件 %1</translation>
    </message>
</context>
<context>
    <name>PropertyItemModel</name>
    <message>
        <source>名称</source>
        <translation>名称</translation>
    </message>
    <message>
        <source>值</source>
        <translation>值</translation>
    </message>
</context>
<context>
    <name>QObject</name>
    <message>
        <source>结果为空</source>
        <translation>结果为空</translation>
    </message>
    <message>
        <source>无效的值</source>
        <translation>无效的值</translation>
    </message>
    <message>
        <source>未知错误</source>
        <translation>未知错误</translation>
    </message>
    <message>
        <source>无标准曲线</source>
        <translation>无标准曲线</translation>
    </message>
    <message>
        <source>标准曲线无效</source>
        <translation>标准曲线无效</translation>
    </message>
    <message>
        <source>标准曲线设置错误</source>
        <translation>标准曲线设置错误</translation>
    </message>
    <message>
        <source>无效的计算方法</source>
        <translation>无效的计算方法</translation>
    </message>
    <message>
        <source>计算所需的参数不存在</source>
        <translation>计算所需的参数不存在</translation>
    </message>
</context>
<context>
    <name>SocketDriver</name>
    <message>
        <source>No port number in &quot;%1&quot;</source>
        <translation>“%1”中没有端口号</translation>
    </message>
    <message>
        <source>The remote host closed the connection</source>
        <translation>远程主机关闭了连接</translation>
    </message>
</context>
</TS>
