#pragma once

#include <QString>

// Element names of the update protocol; each constant is its own spelling.
namespace ZUFW_XML {

inline const QString ZTUPFW = QStringLiteral("ZTUPFW");
inline const QString API = QStringLiteral("API");
inline const QString SUFKEY = QStringLiteral("SUFKEY");
inline const QString Request = QStringLiteral("Request");
inline const QString Response = QStringLiteral("Response");
inline const QString Command = QStringLiteral("Command");
inline const QString ZUFWInfo = QStringLiteral("ZUFWInfo");
inline const QString ZUFWError = QStringLiteral("ZUFWError");
inline const QString CUID = QStringLiteral("CUID");
inline const QString CVER = QStringLiteral("CVER");
inline const QString COS = QStringLiteral("COS");
inline const QString Username = QStringLiteral("Username");
inline const QString UserData = QStringLiteral("UserData");
inline const QString Password = QStringLiteral("Password");
inline const QString ExitCode = QStringLiteral("ExitCode");
inline const QString Reason = QStringLiteral("Reason");
inline const QString StartDate = QStringLiteral("StartDate");
inline const QString EndDate = QStringLiteral("EndDate");
inline const QString AppBundleInfo = QStringLiteral("AppBundleInfo");
inline const QString Stage2InstallerInfo = QStringLiteral("Stage2InstallerInfo");

inline const QString KeepAlive = QStringLiteral("KeepAlive");
inline const QString CheckClientVersion = QStringLiteral("CheckClientVersion");
inline const QString Login = QStringLiteral("Login");

inline const QString GetFileInfo = QStringLiteral("GetFileInfo");
inline const QString AppUniqueId = QStringLiteral("AppUniqueId");
inline const QString FileInfoType = QStringLiteral("FileInfoType");
inline const QString Platform = QStringLiteral("Platform");

inline const QString FileInfoRoot = QStringLiteral("FileInfoRoot");
inline const QString FileName = QStringLiteral("FileName");
inline const QString FileSize = QStringLiteral("FileSize");
inline const QString FileIsZipped = QStringLiteral("FileIsZipped");
inline const QString AppVersion = QStringLiteral("AppVersion");
inline const QString URL = QStringLiteral("URL");
inline const QString MD5 = QStringLiteral("MD5");
inline const QString SHA1 = QStringLiteral("SHA1");
inline const QString AppExecutable = QStringLiteral("AppExecutable");

// Content of the "API" element of every document.
inline const QString ApiVersion = QStringLiteral("1.0");

} // namespace ZUFW_XML
