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
    <message>
        <source>The line was closed during the exchange</source>
        <translation>通信过程中线路被关闭</translation>
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
    <message>
        <source>Statim samples</source>
        <translation>急诊样本</translation>
    </message>
    <message>
        <source>Quality-control samples</source>
        <translation>质控样本</translation>
    </message>
    <message>
        <source>Preparing</source>
        <translation>准备中</translation>
    </message>
    <message>
        <source>Cannot be calculated</source>
        <translation>无法计算</translation>
    </message>
    <message>
        <source>Incubating</source>
        <translation>孵育中</translation>
    </message>
    <message>
        <source>Analysing</source>
        <translation>分析中</translation>
    </message>
    <message>
        <source>Not clotted</source>
        <translation>不凝</translation>
    </message>
    <message>
        <source>Diluted</source>
        <translation>稀释</translation>
    </message>
    <message>
        <source>Below the report range</source>
        <translation>低于报告范围</translation>
    </message>
    <message>
        <source>Above the report range</source>
        <translation>高于报告范围</translation>
    </message>
    <message>
        <source>Below the marking limit</source>
        <translation>低于标记限</translation>
    </message>
    <message>
        <source>Above the marking limit</source>
        <translation>高于标记限</translation>
    </message>
    <message>
        <source>Entered by hand</source>
        <translation>手工输入</translation>
    </message>
    <message>
        <source>Replicates differ</source>
        <translation>重复测定差异过大</translation>
    </message>
    <message>
        <source>Waiting</source>
        <translation>等待</translation>
    </message>
    <message>
        <source>Dispensing</source>
        <translation>加样</translation>
    </message>
    <message>
        <source>Result without a number</source>
        <translation>无数值的结果</translation>
    </message>
    <message>
        <source>Assays shown in analysis</source>
        <translation>分析界面显示的项目</translation>
    </message>
    <message>
        <source>Patient fields shown</source>
        <translation>显示的病人信息</translation>
    </message>
    <message>
        <source>Most quality-control files</source>
        <translation>最多质控文件数</translation>
    </message>
    <message>
        <source>Quality-control method</source>
        <translation>质控方法</translation>
    </message>
    <message>
        <source>Hospital</source>
        <translation>医院</translation>
    </message>
    <message>
        <source>Touch screen</source>
        <translation>触摸屏</translation>
    </message>
    <message>
        <source>Sample prefixes</source>
        <translation>样本前缀</translation>
    </message>
    <message>
        <source>Result texts</source>
        <translation>结果文字</translation>
    </message>
    <message>
        <source>Result markers</source>
        <translation>结果标记</translation>
    </message>
    <message>
        <source>Colours</source>
        <translation>颜色</translation>
    </message>
    <message>
        <source>Display</source>
        <translation>显示</translation>
    </message>
    <message>
        <source>Quality control</source>
        <translation>质控</translation>
    </message>
    <message>
        <source>它不是普通文件</source>
        <translation>它不是普通文件</translation>
    </message>
    <message>
        <source>它不是 UTF-8 文本</source>
        <translation>它不是 UTF-8 文本</translation>
    </message>
    <message>
        <source>它的格式有误</source>
        <translation>它的格式有误</translation>
    </message>
    <message>
        <source>无法打开数据库文件 %1
%2</source>
        <translation>无法打开数据库文件 %1
%2</translation>
    </message>
    <message>
        <source>无法读取启动设置 %1
%2</source>
        <translation>无法读取启动设置 %1
%2</translation>
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
    <message>
        <source>Connection refused</source>
        <translation>连接被拒绝</translation>
    </message>
    <message>
        <source>Socket operation timed out</source>
        <translation>套接字操作超时</translation>
    </message>
    <message>
        <source>Network unreachable</source>
        <translation>网络不可达</translation>
    </message>
    <message>
        <source>Host unreachable</source>
        <translation>主机不可达</translation>
    </message>
    <message>
        <source>The connection was cancelled</source>
        <translation>连接已取消</translation>
    </message>
</context>
</TS>
