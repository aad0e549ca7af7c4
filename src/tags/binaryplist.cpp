#include "tags/binaryplist.h"

#include <QDateTime>

#include <plist/plist.h>

#include <memory>

namespace tessaly {

namespace {

struct PlistFree {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

// Property-list dates count from 2001-01-01 00:00:00 UTC.
constexpr qint64 kPlistEpochOffset = 978307200;

plist_t toNode(const QVariant& value, QString* error) {
    switch (value.typeId()) {
    case QMetaType::QString:
        return plist_new_string(value.toString().toUtf8().constData());
    case QMetaType::Bool:
        return plist_new_bool(value.toBool() ? 1 : 0);
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::ULongLong:
        return plist_new_uint(static_cast<uint64_t>(value.toLongLong()));
    case QMetaType::Double:
    case QMetaType::Float:
        return plist_new_real(value.toDouble());
    case QMetaType::QDateTime: {
        const qint64 ms = value.toDateTime().toMSecsSinceEpoch() - kPlistEpochOffset * 1000;
        qint64 sec = ms / 1000;
        qint64 usec = (ms % 1000) * 1000;
        if (usec < 0) {
            sec -= 1;
            usec += 1000000;
        }
        return plist_new_date(static_cast<int32_t>(sec), static_cast<int32_t>(usec));
    }
    case QMetaType::QStringList:
    case QMetaType::QVariantList: {
        plist_t array = plist_new_array();
        for (const QVariant& item : value.toList()) {
            plist_t node = toNode(item, error);
            if (!node) {
                plist_free(array);
                return nullptr;
            }
            plist_array_append_item(array, node);
        }
        return array;
    }
    default:
        if (error) {
            *error = QStringLiteral("value of type %1 cannot be stored in a property list")
                         .arg(QString::fromLatin1(value.typeName() ? value.typeName() : "none"));
        }
        return nullptr;
    }
}

QVariant fromNode(plist_t node) {
    switch (plist_get_node_type(node)) {
    case PLIST_STRING: {
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
    case PLIST_ARRAY: {
        QVariantList list;
        const uint32_t count = plist_array_get_size(node);
        for (uint32_t i = 0; i < count; ++i) {
            list.append(fromNode(plist_array_get_item(node, i)));
        }
        return list;
    }
    default:
        return {};
    }
}

} // namespace

std::optional<QByteArray> toBinaryPlist(const QVariant& value, QString* error) {
    PlistPtr node(toNode(value, error));
    if (!node) {
        return std::nullopt;
    }
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(node.get(), &bytes, &length);
    if (!bytes) {
        if (error) {
            *error = QStringLiteral("property list could not be serialized");
        }
        return std::nullopt;
    }
    QByteArray out(bytes, static_cast<qsizetype>(length));
    plist_to_bin_free(bytes);
    return out;
}

std::optional<QVariant> fromBinaryPlist(const QByteArray& bytes, QString* error) {
    plist_t raw = nullptr;
    if (bytes.startsWith("bplist00")) {
        plist_from_bin(bytes.constData(), static_cast<uint32_t>(bytes.size()), &raw);
    }
    PlistPtr node(raw);
    if (!node) {
        if (error) {
            *error = QStringLiteral("stored bytes are not a binary property list");
        }
        return std::nullopt;
    }
    return fromNode(node.get());
}

} // namespace tessaly
