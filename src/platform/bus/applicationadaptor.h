#pragma once

#include "platform/bus/singleinstance.h"

#include <QDBusAbstractAdaptor>
#include <QStringList>
#include <QUrl>
#include <QVariantList>
#include <QVariantMap>

namespace tessaly {

// Answers org.freedesktop.Application for the running process.
class ApplicationAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")

public:
    explicit ApplicationAdaptor(SingleInstance* owner)
        : QDBusAbstractAdaptor(owner)
        , m_owner(owner) {}

public Q_SLOTS:
    void Activate(const QVariantMap& platformData) {
        Q_EMIT m_owner->activated(token(platformData));
    }
    void Open(const QStringList& uris, const QVariantMap& platformData) {
        QStringList paths;
        for (const QString& uri : uris) {
            const QUrl url(uri);
            // Only local files can be archived; a file manager may offer other URIs.
            if (url.isLocalFile()) {
                paths.append(url.toLocalFile());
            }
        }
        Q_EMIT m_owner->activated(token(platformData));
        if (!paths.isEmpty()) {
            Q_EMIT m_owner->openRequested(paths);
        }
    }
    void ActivateAction(const QString& name, const QVariantList& parameter,
                        const QVariantMap& platformData) {
        Q_UNUSED(parameter)
        Q_UNUSED(platformData)
        Q_EMIT m_owner->actionRequested(name);
    }

private:
    // Wayland's activation token, or X11's startup id, as desktops pass them.
    static QString token(const QVariantMap& platformData) {
        const QString wayland = platformData.value(QStringLiteral("activation-token")).toString();
        return wayland.isEmpty()
                   ? platformData.value(QStringLiteral("desktop-startup-id")).toString()
                   : wayland;
    }

    SingleInstance* m_owner;
};

} // namespace tessaly
