<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>CUpdate</name>
    <message>
        <source>CUpdate</source>
        <translation>客户端更新</translation>
    </message>
    <message>
        <source>Skin</source>
        <translation>换肤</translation>
    </message>
    <message>
        <source>Update</source>
        <translation>更新</translation>
    </message>
    <message>
        <source>&lt;html&gt;&lt;head/&gt;&lt;body&gt;&lt;p&gt;downloading...&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</source>
        <translation>&lt;html&gt;&lt;head/&gt;&lt;body&gt;&lt;p&gt;正在下载...&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</translation>
    </message>
    <message>
        <source>Taste</source>
        <translation>体验</translation>
    </message>
    <message>
        <source>&lt;html&gt;&lt;head/&gt;&lt;body&gt;&lt;p&gt;&lt;br/&gt;&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</source>
        <translation>&lt;html&gt;&lt;head/&gt;&lt;body&gt;&lt;p&gt;&lt;br/&gt;&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</translation>
    </message>
    <message>
        <source>Corvel Updater</source>
        <translation>Corvel 更新程序</translation>
    </message>
    <message>
        <source>Download and install the update</source>
        <translation>下载并安装更新</translation>
    </message>
    <message>
        <source>Leave without updating and go back to the client</source>
        <translation>不更新，返回客户端</translation>
    </message>
</context>
<context>
    <name>QObject</name>
    <message>
        <source>Notice</source>
        <translation>提示</translation>
    </message>
    <message>
        <source>Get Tarnwick New ClientVersion failed!! </source>
        <translation>获取 Tarnwick 新客户端版本失败！！</translation>
    </message>
    <message>
        <source>Update Tarnwick New ClientVersion failed!! </source>
        <translation>更新 Tarnwick 新客户端版本失败！！</translation>
    </message>
    <message>
        <source>An update is already running.</source>
        <translation>更新已在进行中。</translation>
    </message>
    <message>
        <source>The update cannot start: %1 is in the way of its lock file. Remove it and try again.</source>
        <translation>无法开始更新：%1 占用了更新锁文件的位置。请将其删除后重试。</translation>
    </message>
</context>
<context>
    <name>TitleBar</name>
    <message>
        <source>Minimize</source>
        <translation>最小化</translation>
    </message>
    <message>
        <source>Maximize</source>
        <translation>最大化</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>关闭</translation>
    </message>
    <message>
        <source>Restore</source>
        <translation>还原</translation>
    </message>
</context>
<context>
    <name>Update::CUpdate</name>
    <message>
        <source>Not enough disk space: %1 needed, %2 free.</source>
        <translation>磁盘空间不足：需要 %1，可用 %2。</translation>
    </message>
    <message>
        <source>Update content</source>
        <translation>更新内容</translation>
    </message>
    <message>
        <source>Notice</source>
        <translation>提示</translation>
    </message>
    <message>
        <source>Be sure give up to update?</source>
        <translation>确定放弃更新吗？</translation>
    </message>
    <message>
        <source>UnCompressing...</source>
        <translation>正在解压...</translation>
    </message>
    <message>
        <source>Update failed, error Type:</source>
        <translation>更新失败，错误类型：</translation>
    </message>
    <message>
        <source>Finish unCompressing</source>
        <translation>解压完成</translation>
    </message>
    <message>
        <source>Be sure overlay install?</source>
        <translation>确定覆盖安装吗？</translation>
    </message>
    <message>
        <source>Update failed! </source>
        <translation>更新失败！</translation>
    </message>
    <message>
        <source>Reconnecting (%1/%2)...</source>
        <translation>正在重新连接 (%1/%2)...</translation>
    </message>
    <message>
        <source>calculating...</source>
        <translation>正在计算...</translation>
    </message>
    <message>
        <source>%1, %2 left</source>
        <translation>%1，剩余 %2</translation>
    </message>
    <message>
        <source>%1 B/s</source>
        <translation>%1 B/s</translation>
    </message>
    <message>
        <source>%1 KB/s</source>
        <translation>%1 KB/s</translation>
    </message>
    <message>
        <source>%1 MB/s</source>
        <translation>%1 MB/s</translation>
    </message>
    <message>
        <source>%1 GB/s</source>
        <translation>%1 GB/s</translation>
    </message>
    <message>
        <source>%1 s</source>
        <translation>%1 秒</translation>
    </message>
    <message>
        <source>%1 min %2 s</source>
        <translation>%1 分 %2 秒</translation>
    </message>
    <message>
        <source>%1 h %2 min</source>
        <translation>%1 小时 %2 分</translation>
    </message>
    <message>
        <source>Verifying...</source>
        <translation>正在校验...</translation>
    </message>
    <message>
        <source>The update has no signature.</source>
        <translation>更新没有签名。</translation>
    </message>
    <message>
        <source>The update&apos;s signature cannot be read.</source>
        <translation>无法读取更新的签名。</translation>
    </message>
    <message>
        <source>The update is signed in the legacy format; sign it again with current minisign.</source>
        <translation>更新使用旧格式签名；请用当前版本的 minisign 重新签名。</translation>
    </message>
    <message>
        <source>The update is signed with another key.</source>
        <translation>更新由其他密钥签名。</translation>
    </message>
    <message>
        <source>The update&apos;s signature does not match it.</source>
        <translation>更新的签名与更新不符。</translation>
    </message>
    <message>
        <source>The installation&apos;s update key cannot be read.</source>
        <translation>无法读取本安装的更新密钥。</translation>
    </message>
    <message>
        <source>Invalid package address</source>
        <translation>无效的更新包地址</translation>
    </message>
    <message>
        <source>The server answered %1 %2 without a package</source>
        <translation>服务器返回 %1 %2，未提供更新包</translation>
    </message>
    <message>
        <source>The server stopped sending data.</source>
        <translation>服务器已停止发送数据。</translation>
    </message>
    <message>
        <source>The server sent more than the updater accepts.</source>
        <translation>服务器发送的数据超出了更新程序可接受的范围。</translation>
    </message>
    <message>
        <source>The connection closed before the whole package arrived.</source>
        <translation>更新包尚未完整接收，连接已关闭。</translation>
    </message>
    <message>
        <source>The server did not continue the package where it broke.</source>
        <translation>服务器未能从中断处继续传送更新包。</translation>
    </message>
    <message>
        <source>Not enough disk space to save the package.</source>
        <translation>磁盘空间不足，无法保存更新包。</translation>
    </message>
    <message>
        <source>The package is damaged.</source>
        <translation>更新包已损坏。</translation>
    </message>
    <message>
        <source>Not enough disk space to unpack the package.</source>
        <translation>磁盘空间不足，无法解压更新包。</translation>
    </message>
    <message>
        <source>The update was changed on disk after it was checked.</source>
        <translation>更新文件在检查之后已在磁盘上被更改。</translation>
    </message>
    <message>
        <source>The signature belongs to another file.</source>
        <translation>签名属于另一个文件。</translation>
    </message>
    <message>
        <source>This update is older than the one installed.</source>
        <translation>此更新比已安装的版本旧。</translation>
    </message>
    <message>
        <source>The update&apos;s signature has no timestamp, so it may be older than the one installed.</source>
        <translation>此更新的签名没有时间戳，可能比已安装的版本旧。</translation>
    </message>
    <message>
        <source>The installation&apos;s update stamp UpdateKey.stamp cannot be read.</source>
        <translation>无法读取本安装的更新时间戳文件 UpdateKey.stamp。</translation>
    </message>
    <message>
        <source>The installation&apos;s certificate file UpdateCA.pem holds no valid certificate.</source>
        <translation>本安装的证书文件 UpdateCA.pem 中没有有效的证书。</translation>
    </message>
    <message>
        <source>The server sent the file encoded as %1, which the updater does not accept.</source>
        <translation>服务器以 %1 编码发送文件，更新程序不接受这种编码。</translation>
    </message>
    <message>
        <source>The certificate of %1 was issued by an authority this computer does not trust.</source>
        <translation>%1 的证书由本机不信任的机构颁发。</translation>
    </message>
    <message>
        <source>The certificate of %1 has expired.</source>
        <translation>%1 的证书已过期。</translation>
    </message>
    <message>
        <source>The certificate of %1 is not valid yet.</source>
        <translation>%1 的证书尚未生效。</translation>
    </message>
    <message>
        <source>%1 presented a certificate made out for another host.</source>
        <translation>%1 出示的是颁发给其他主机的证书。</translation>
    </message>
    <message>
        <source>The certificate of %1 is self-signed and not trusted.</source>
        <translation>%1 的证书是自签名证书，不受信任。</translation>
    </message>
    <message>
        <source>The certificate of %1 cannot be trusted: %2</source>
        <translation>%1 的证书不可信：%2</translation>
    </message>
    <message>
        <source>The proxy server %1 did not accept the user name and password.</source>
        <translation>代理服务器 %1 未接受用户名和密码。</translation>
    </message>
</context>
<context>
    <name>Update::CProxyLoginDialog</name>
    <message>
        <source>Proxy server</source>
        <translation>代理服务器</translation>
    </message>
    <message>
        <source>The proxy server %1 asks for a user name and password.</source>
        <translation>代理服务器 %1 要求输入用户名和密码。</translation>
    </message>
    <message>
        <source>User name:</source>
        <translation>用户名：</translation>
    </message>
    <message>
        <source>Password:</source>
        <translation>密码：</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>确定</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>取消</translation>
    </message>
</context>
</TS>
