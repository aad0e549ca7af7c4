#include "settings/fxkeychain.h"

#include "settings/settingslog.h"
#include "tags/binaryplist.h"

#include <QDateTime>
#include <QFutureWatcher>
#include <QStringDecoder>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <plist/plist.h>

namespace tessaly {

namespace {

struct PlistFree {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

// Property-list dates count from 2001-01-01 00:00:00 UTC.
constexpr qint64 kPlistEpochOffset = 978307200;

QVariant fromNode(plist_t node) {
    switch (plist_get_node_type(node)) {
    case PLIST_STRING:
    case PLIST_KEY: {
        char* text = nullptr;
        plist_get_string_val(node, &text);
        const QString value = QString::fromUtf8(text);
        free(text);
        return value;
    }
    case PLIST_BOOLEAN: {
        uint8_t flag = 0;
        plist_get_bool_val(node, &flag);
        return flag != 0;
    }
    case PLIST_UINT: {
        uint64_t number = 0;
        plist_get_uint_val(node, &number);
        return static_cast<qlonglong>(number);
    }
    case PLIST_REAL: {
        double number = 0;
        plist_get_real_val(node, &number);
        return number;
    }
    case PLIST_DATE: {
        int32_t sec = 0;
        int32_t usec = 0;
        plist_get_date_val(node, &sec, &usec);
        return QDateTime::fromMSecsSinceEpoch((kPlistEpochOffset + sec) * 1000 + usec / 1000,
                                              Qt::UTC);
    }
    case PLIST_DATA: {
        char* bytes = nullptr;
        uint64_t length = 0;
        plist_get_data_val(node, &bytes, &length);
        QByteArray value(bytes, static_cast<qsizetype>(length));
        free(bytes);
        return value;
    }
    case PLIST_ARRAY: {
        QVariantList list;
        const uint32_t count = plist_array_get_size(node);
        for (uint32_t i = 0; i < count; ++i) {
            list.append(fromNode(plist_array_get_item(node, i)));
        }
        return list;
    }
    case PLIST_DICT: {
        QVariantMap map;
        plist_dict_iter iter = nullptr;
        plist_dict_new_iter(node, &iter);
        for (;;) {
            char* key = nullptr;
            plist_t item = nullptr;
            plist_dict_next_item(node, iter, &key, &item);
            if (!key) {
                break;
            }
            map.insert(QString::fromUtf8(key), fromNode(item));
            free(key);
        }
        free(iter);
        return map;
    }
    default:
        return {};
    }
}

// Binary and XML property lists. libplist 2.2 has no reader for the old text syntax, so a
// value such as "\"quoted\"" stays the text it is.
PlistPtr parsePropertyList(const QByteArray& data) {
    plist_t node = nullptr;
    if (!data.isEmpty()) {
        plist_from_memory(data.constData(), static_cast<uint32_t>(data.size()), &node);
    }
    return PlistPtr(node);
}

void logSeamReason(const KeychainError& error) {
    if (!error.message.isEmpty()) {
        qCWarning(lcSettings).noquote() << error.message;
    }
}

bool keyIsGiven(const QString& key) {
    if (key.isEmpty()) {
        qCCritical(lcSettings) << "Invalid parameter not satisfying: key";
        Q_ASSERT_X(false, "FXKeychain", "Invalid parameter not satisfying: key");
        return false;
    }
    return true;
}

} // namespace

FXKeychain::FXKeychain(std::shared_ptr<Keychain> keychain, const QString& service)
    : m_keychain(std::move(keychain))
    , m_service(service) {
}

FXKeychain& FXKeychain::defaultKeychain() {
    static FXKeychain instance(std::make_shared<SecretServiceKeychain>(), applicationService());
    return instance;
}

QString FXKeychain::applicationService() {
    return QStringLiteral("org.tessaly.Tessaly");
}

bool FXKeychain::setObject(const QVariant& value, const QString& key, KeychainError* error) {
    if (!keyIsGiven(key)) {
        return false;
    }
    if (!value.isValid()) {
        const KeychainError removed = m_keychain->remove(m_service, key);
        if (error) {
            *error = removed;
        }
        if (removed.isError()) {
            qCWarning(lcSettings).noquote()
                << QStringLiteral("FXKeychain failed to delete data for key '%1', error: %2")
                       .arg(key)
                       .arg(removed.status());
            logSeamReason(removed);
            return false;
        }
        return true;
    }

    QByteArray data;
    QString encodeError;
    if (value.typeId() == QMetaType::QString) {
        data = value.toString().toUtf8();
        // Text that reads as a property list would come back as that list's value: such a
        // string is kept as a property list of itself, so it reads back as written.
        if (parsePropertyList(data)) {
            const std::optional<QByteArray> wrapped = toBinaryPlist(value, &encodeError);
            data = wrapped.value_or(QByteArray());
        }
    } else {
        data = toBinaryPlist(value, &encodeError).value_or(QByteArray());
    }
    if (!encodeError.isEmpty()) {
        qCCritical(lcSettings).noquote()
            << QStringLiteral("FXKeychain failed to encode object for key '%1', error: %2")
                   .arg(key, encodeError);
        Q_ASSERT_X(false, "FXKeychain", "value cannot be encoded");
        if (error) {
            *error = {KeychainError::Kind::Failed, encodeError};
        }
        return false;
    }

    // The keychain replaces an earlier item in one step: when storing fails the old value is
    // still there, which deleting first and adding after would lose.
    const QString label = m_service.isEmpty() ? key : m_service + QStringLiteral(": ") + key;
    const KeychainError stored = m_keychain->store(m_service, key, data, label);
    if (error) {
        *error = stored;
    }
    if (stored.isError()) {
        qCWarning(lcSettings).noquote()
            << QStringLiteral("FXKeychain failed to store data for key '%1', error: %2")
                   .arg(key)
                   .arg(stored.status());
        logSeamReason(stored);
        return false;
    }
    return true;
}

bool FXKeychain::removeObjectForKey(const QString& key, KeychainError* error) {
    return setObject(QVariant(), key, error);
}

QVariant FXKeychain::objectForKey(const QString& key, KeychainError* error) const {
    if (!keyIsGiven(key)) {
        return {};
    }
    const KeychainLookup found = m_keychain->find(m_service, key);
    if (error) {
        *error = found.error;
    }
    if (!found.data) {
        return {};
    }
    if (const PlistPtr node = parsePropertyList(*found.data)) {
        if (plist_get_node_type(node.get()) == PLIST_DICT &&
            plist_dict_get_item(node.get(), "$archiver")) {
            qCWarning(lcSettings).noquote()
                << QStringLiteral("FXKeychain failed to decode data for key '%1', error: %2")
                       .arg(key, QStringLiteral("keyed archives are not read"));
            if (error) {
                *error = {KeychainError::Kind::Failed, QStringLiteral("unreadable stored value")};
            }
            return {};
        }
        return fromNode(node.get());
    }
    QStringDecoder decoder(QStringDecoder::Utf8, QStringConverter::Flag::Stateless);
    const QString text = decoder.decode(*found.data);
    if (decoder.hasError()) {
        qCWarning(lcSettings).noquote()
            << QStringLiteral("FXKeychain failed to decode data for key '%1', error: %2")
                   .arg(key, QStringLiteral("neither a property list nor UTF-8 text"));
        if (error) {
            *error = {KeychainError::Kind::Failed, QStringLiteral("unreadable stored value")};
        }
        return {};
    }
    return text;
}

namespace {

// One thread for every keychain call that does not wait: calls keep the order they were made
// in (a password stored, then read back, is read as stored).
QThreadPool* keychainThread() {
    static QThreadPool* pool = [] {
        auto* threads = new QThreadPool();
        threads->setMaxThreadCount(1);
        return threads;
    }();
    return pool;
}

template <typename Result, typename Work, typename Done>
void runForContext(QObject* context, Work work, Done done) {
    // Owned by the context: a context gone before the answer takes the watcher, and so the
    // completion, with it.
    auto* watcher = new QFutureWatcher<Result>(context);
    QObject::connect(watcher, &QFutureWatcherBase::finished, watcher,
                     [watcher, done = std::move(done)] {
                         watcher->deleteLater();
                         done(watcher->result());
                     });
    watcher->setFuture(QtConcurrent::run(keychainThread(), std::move(work)));
}

struct Answer {
    bool ok = false;
    QVariant value;
    KeychainError error;
};

} // namespace

void FXKeychain::setObject(const QVariant& value, const QString& key, QObject* context,
                           Stored done) {
    runForContext<Answer>(
        context,
        [keychain = *this, value, key]() mutable {
            Answer answer;
            answer.ok = keychain.setObject(value, key, &answer.error);
            return answer;
        },
        [done = std::move(done)](const Answer& answer) { done(answer.ok, answer.error); });
}

void FXKeychain::removeObjectForKey(const QString& key, QObject* context, Stored done) {
    runForContext<Answer>(
        context,
        [keychain = *this, key]() mutable {
            Answer answer;
            answer.ok = keychain.removeObjectForKey(key, &answer.error);
            return answer;
        },
        [done = std::move(done)](const Answer& answer) { done(answer.ok, answer.error); });
}

void FXKeychain::objectForKey(
    const QString& key, QObject* context,
    std::function<void(const QVariant& value, const KeychainError& error)> done) const {
    runForContext<Answer>(
        context,
        [keychain = *this, key] {
            Answer answer;
            answer.value = keychain.objectForKey(key, &answer.error);
            return answer;
        },
        [done = std::move(done)](const Answer& answer) { done(answer.value, answer.error); });
}

} // namespace tessaly
