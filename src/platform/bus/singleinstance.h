#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

namespace tessaly {

// One running application per user session. The first process takes the application's name on
// the session bus and answers the desktop's application interface (org.freedesktop.Application:
// Activate, Open, ActivateAction); a later one hands its files to it and ends. Without a session
// bus every process runs on its own.
class SingleInstance : public QObject {
    Q_OBJECT

public:
    // `appId` is the bus name and, with "." as "/", the object path ("org.tessaly.Tessaly" →
    // /org/tessaly/Tessaly), as desktops expect for the launcher entry of that name.
    explicit SingleInstance(QString appId, QObject* parent = nullptr);
    ~SingleInstance() override;

    enum class Role {
        Primary,   // this process answers for the application
        Secondary, // another process does: hand it the work and end
        Alone      // no session bus: run without the others knowing
    };
    // Takes the name if nobody holds it. Waits for the bus's answer (a local round trip).
    Role claim();
    QString lastError() const { return m_error; }

    // From a secondary process: the running one opens these files (local paths), or only
    // comes to the front when there are none; this process's activation token (from its
    // launcher) goes along. False with lastError() when it did not answer.
    bool forward(const QStringList& paths);
    // From a secondary process: runs one of the application's named actions ("quit").
    bool forwardAction(const QString& name);

    static QString objectPath(const QString& appId);

Q_SIGNALS:
    // The desktop or a later launch asked the running application to come to the front, with
    // the token that lets a Wayland compositor do that ("" when none came).
    void activated(const QString& activationToken);
    // Files to open, as local paths (non-file URIs are dropped).
    void openRequested(const QStringList& paths);
    // A named action of the launcher entry.
    void actionRequested(const QString& name);

private:
    friend class ApplicationAdaptor;
    QString m_appId;
    QString m_error;
    bool m_registered = false;
};

} // namespace tessaly
