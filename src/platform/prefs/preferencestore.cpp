#include "platform/prefs/preferencestore.h"

#include "platform/prefs/preferencekeys.h"
#include "platform/prefs/urlbookmarkinprefs.h"

#include <QDir>
#include <QStandardPaths>
#include <QTimer>

namespace tessaly {

namespace {

// QSettings treats "/" and "\" as group separators and collapses repeated or leading ones;
// escaping them (and the escape character) keeps every key exact.
QString encodeKey(const QString& key) {
    QString out;
    out.reserve(key.size());
    for (QChar c : key) {
        switch (c.unicode()) {
        case u'%':
            out += QStringLiteral("%25");
            break;
        case u'/':
            out += QStringLiteral("%2F");
            break;
        case u'\\':
            out += QStringLiteral("%5C");
            break;
        default:
            out += c;
        }
    }
    return out;
}

QString decodeKey(const QString& stored) {
    QString out;
    out.reserve(stored.size());
    for (qsizetype i = 0; i < stored.size(); ++i) {
        if (stored[i] == u'%' && i + 2 < stored.size()) {
            const QStringView code = QStringView(stored).mid(i + 1, 2);
            if (code == u"25") {
                out += u'%';
                i += 2;
                continue;
            }
            if (code == u"2F") {
                out += u'/';
                i += 2;
                continue;
            }
            if (code == u"5C") {
                out += u'\\';
                i += 2;
                continue;
            }
        }
        out += stored[i];
    }
    return out;
}

bool variantToBool(const QVariant& value, bool fallback) {
    if (!value.isValid()) {
        return fallback;
    }
    if (value.typeId() == QMetaType::QString) {
        const QString text = value.toString().trimmed().toLower();
        if (text == u"true" || text == u"yes") {
            return true;
        }
        if (text == u"false" || text == u"no" || text.isEmpty()) {
            return false;
        }
        return text.toDouble() != 0;
    }
    return value.toBool();
}

} // namespace

PreferenceStore::PreferenceStore(const QString& filePath, QObject* parent)
    : QObject(parent)
    , m_filePath(filePath)
    , m_settings(std::make_unique<QSettings>(filePath, QSettings::IniFormat)) {
}

PreferenceStore::~PreferenceStore() {
    m_settings->sync();
}

QString PreferenceStore::userFilePath() {
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base)) {
        base = QDir::homePath() + QStringLiteral("/.config");
    }
    return base + QStringLiteral("/Tessaly/Tessaly.conf");
}

void PreferenceStore::registerDefaults(const QVariantMap& defaults) {
    for (auto it = defaults.begin(); it != defaults.end(); ++it) {
        m_defaults.insert(it.key(), it.value());
    }
}

void PreferenceStore::registerStandardDefaults() {
    QVariantMap defaults;
    for (const prefkeys::RegisteredDefault& entry : prefkeys::registeredDefaults()) {
        defaults.insert(entry.key, entry.value);
    }
    registerDefaults(defaults);
}

QVariant PreferenceStore::value(const QString& key) const {
    const QVariant stored = m_settings->value(encodeKey(key));
    if (stored.isValid()) {
        return stored;
    }
    return m_defaults.value(key);
}

bool PreferenceStore::isStored(const QString& key) const {
    return m_settings->contains(encodeKey(key));
}

void PreferenceStore::setValue(const QString& key, const QVariant& value) {
    if (isStored(key) && m_settings->value(encodeKey(key)) == value) {
        return;
    }
    m_settings->setValue(encodeKey(key), value);
    Q_EMIT valueChanged(key);
}

void PreferenceStore::remove(const QString& key) {
    if (!isStored(key)) {
        return;
    }
    m_settings->remove(encodeKey(key));
    Q_EMIT valueChanged(key);
}

QStringList PreferenceStore::storedKeys() const {
    QStringList keys;
    for (const QString& stored : m_settings->allKeys()) {
        keys.append(decodeKey(stored));
    }
    return keys;
}

void PreferenceStore::removeAll() {
    const QStringList keys = storedKeys();
    m_settings->clear();
    for (const QString& key : keys) {
        Q_EMIT valueChanged(key);
    }
}

bool PreferenceStore::sync() {
    m_settings->sync();
    return m_settings->status() == QSettings::NoError;
}

QString PreferenceStore::stringValue(const QString& key) const {
    return value(key).toString();
}

bool PreferenceStore::boolValue(const QString& key, bool fallback) const {
    return variantToBool(value(key), fallback);
}

qint64 PreferenceStore::integerValue(const QString& key, qint64 fallback) const {
    bool ok = false;
    const QVariant v = value(key);
    const qint64 n = v.toLongLong(&ok);
    if (ok) {
        return n;
    }
    const double d = v.toString().trimmed().toDouble(&ok);
    return ok ? static_cast<qint64>(d) : fallback;
}

double PreferenceStore::doubleValue(const QString& key, double fallback) const {
    bool ok = false;
    const double d = value(key).toString().trimmed().toDouble(&ok);
    return ok ? d : fallback;
}

QStringList PreferenceStore::stringListValue(const QString& key) const {
    const QVariant v = value(key);
    if (v.typeId() == QMetaType::QStringList) {
        return v.toStringList();
    }
    if (v.typeId() == QMetaType::QVariantList) {
        QStringList out;
        for (const QVariant& item : v.toList()) {
            out.append(item.toString());
        }
        return out;
    }
    // QSettings hands back a one-element list as a plain string.
    return v.isValid() && !v.toString().isEmpty() ? QStringList{v.toString()} : QStringList{};
}

int PreferenceStore::maxNumRenderJobs() const {
    return static_cast<int>(std::clamp<qint64>(integerValue(prefkeys::maxNumRenderJobs, 1), 1, 10));
}

double PreferenceStore::hoursBetweenUpdates() const {
    return doubleValue(prefkeys::hoursBetweenUpdates, 24);
}

bool PreferenceStore::useWindowsFriendlyFilenames() const {
    return boolValue(prefkeys::useWindowsFriendlyFilenames, true);
}

bool PreferenceStore::includeTinyHeaderText() const {
    return boolValue(prefkeys::includeTinyHeaderText, true);
}
bool PreferenceStore::loadRemoteImages() const {
    return boolValue(prefkeys::loadRemoteImages, true);
}

QString PreferenceStore::destinationFolder() const {
    return URLBookmarkInPrefs::lookup(*this, prefkeys::destBookmarkURL).path;
}

void PreferenceStore::setDestinationFolder(const QString& path) {
    // An empty path stores nothing: the earlier choice is forgotten rather than kept by mistake.
    if (URLBookmarkInPrefs::setURL(*this, path, prefkeys::destBookmarkURL).isEmpty()) {
        URLBookmarkInPrefs::removeBookmarkForKeyBase(*this, prefkeys::destBookmarkURL);
    }
}

PreferenceWatcher::PreferenceWatcher(PreferenceStore* store, int quietMilliseconds, QObject* parent)
    : QObject(parent)
    , m_timer(new QTimer(this)) {
    m_timer->setSingleShot(true);
    m_timer->setInterval(quietMilliseconds);
    connect(store, &PreferenceStore::valueChanged, this, [this](const QString& key) {
        if (!m_pending.contains(key)) {
            m_pending.append(key);
        }
        m_timer->start();
    });
    connect(m_timer, &QTimer::timeout, this,
            [this] { Q_EMIT settled(std::exchange(m_pending, {})); });
}

} // namespace tessaly
