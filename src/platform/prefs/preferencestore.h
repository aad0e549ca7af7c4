#pragma once

#include <QObject>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVariant>
#include <QVariantMap>

#include <memory>

namespace tessaly {

// The application's preferences: stored values over registered defaults, with a change signal
// for observers in this process. Keys are kept exactly as given, "/" included (folder sources
// are keyed by their path), which QSettings would otherwise read as groups.
class PreferenceStore : public QObject {
    Q_OBJECT

public:
    explicit PreferenceStore(const QString& filePath, QObject* parent = nullptr);
    ~PreferenceStore() override;

    // $XDG_CONFIG_HOME/Tessaly/Tessaly.conf, or its ~/.config fallback.
    static QString userFilePath();

    const QString& filePath() const { return m_filePath; }

    void registerDefaults(const QVariantMap& defaults);
    // The application's own table of defaults.
    void registerStandardDefaults();

    // The stored value, else the registered default, else a null QVariant.
    QVariant value(const QString& key) const;
    bool isStored(const QString& key) const;
    void setValue(const QString& key, const QVariant& value);
    void remove(const QString& key);
    QStringList storedKeys() const;
    // Forgets every stored value of the application (the reset); defaults stay registered.
    void removeAll();
    [[nodiscard]] bool sync();

    QString stringValue(const QString& key) const;
    bool boolValue(const QString& key, bool fallback = false) const;
    qint64 integerValue(const QString& key, qint64 fallback = 0) const;
    double doubleValue(const QString& key, double fallback = 0) const;
    QStringList stringListValue(const QString& key) const;

    // Typed readers for the general settings.
    int maxNumRenderJobs() const;
    double hoursBetweenUpdates() const;
    bool useWindowsFriendlyFilenames() const;
    bool includeTinyHeaderText() const;
    // Whether message pages may load images and PDFs from the network at all.
    bool loadRemoteImages() const;
    // The general destination folder's path, or empty; also when its drive is not mounted
    // (URLBookmarkInPrefs tells whether it can be reached). "" forgets it.
    QString destinationFolder() const;
    void setDestinationFolder(const QString& path);

Q_SIGNALS:
    void valueChanged(const QString& key);

private:
    QString m_filePath;
    std::unique_ptr<QSettings> m_settings;
    QVariantMap m_defaults;
};

// Coalesces a burst of preference changes into one notification after a quiet period, so an
// observer that rebuilds something expensive does it once per burst.
class PreferenceWatcher : public QObject {
    Q_OBJECT

public:
    PreferenceWatcher(PreferenceStore* store, int quietMilliseconds, QObject* parent = nullptr);

Q_SIGNALS:
    void settled(const QStringList& changedKeys);

private:
    QStringList m_pending;
    QTimer* m_timer;
};

} // namespace tessaly
