#pragma once

#include <QString>
#include <QVariant>

#include <span>

namespace tessaly::prefkeys {

// Key names are a stored interface: they must never change.
inline const QString hoursBetweenUpdates = QStringLiteral("hoursBetweenUpdates");
inline const QString useWindowsFriendlyFilenames = QStringLiteral("useWindowsFriendlyFilenames");
inline const QString includeTinyHeaderText = QStringLiteral("includeTinyHeaderText");
inline const QString loadRemoteImages = QStringLiteral("loadRemoteImages");
inline const QString maxNumRenderJobs = QStringLiteral("maxNumRenderJobs");
inline const QString updateFeedURL = QStringLiteral("SUFeedURL");
inline const QString destBookmarkURL = QStringLiteral("destBookmarkURL");
inline const QString draggedFilesDestination = QStringLiteral("DraggedFilesDestination");
inline const QString launchCount = QStringLiteral("launchCount");
inline const QString crashReportsAsked = QStringLiteral("bugsnagHaveAsked");
inline const QString crashReportsAllowed = QStringLiteral("bugsnagCanSendReports");
inline const QString startArchivingOnLaunch = QStringLiteral("StartArchivingOnLaunch");
// The main window's geometry, as QWidget::saveGeometry() gives it.
inline const QString mainWindowGeometry = QStringLiteral("TYMainWindow");
// Appended to a folder's key: the same folder as the bookmark earlier versions kept.
inline const QString bookmarkSuffix = QStringLiteral("_bookmark");

struct RegisteredDefault {
    const QString& key;
    QVariant value;
};

// The defaults registered at every launch; a stored value always wins over them.
std::span<const RegisteredDefault> registeredDefaults();

// Where updates would be announced; Linux builds ship through distributions, so it is empty
// unless a packager sets it at build time.
QString updateFeedURLValue();

} // namespace tessaly::prefkeys
