#pragma once

#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>

namespace tessaly {

// Desktop notifications (org.freedesktop.Notifications on the session bus). Sending never
// waits; without a notification server nothing is shown and nothing fails loudly.
class DesktopNotifier : public QObject {
    Q_OBJECT

public:
    // `appName` and `desktopEntry` identify the sender to the desktop (its name and icon).
    DesktopNotifier(QString appName, QString desktopEntry, QObject* parent = nullptr);

    void notify(const QString& summary, const QString& body);

Q_SIGNALS:
    // One of our notifications was clicked; the server may hand a token with which the window
    // may come to the front on Wayland ("" when none came).
    void clicked(const QString& activationToken);
    // A notification could not be sent (no server, say); for the log.
    void failed(const QString& reason);

private Q_SLOTS:
    void onActionInvoked(uint id, const QString& action);
    void onClosed(uint id, uint reason);
    void onActivationToken(uint id, const QString& token);

private:
    QString m_appName;
    QString m_desktopEntry;
    QSet<uint> m_shown;
    QHash<uint, QString> m_tokens;
    bool m_listening = false;
};

} // namespace tessaly
