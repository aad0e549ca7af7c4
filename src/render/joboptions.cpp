#include "render/joboptions.h"

#include <QJsonArray>

namespace tessaly {

namespace {

std::optional<QString> optionalString(const QJsonObject& json, const QString& key) {
    const QJsonValue value = json.value(key);
    return value.isString() ? std::optional<QString>(value.toString()) : std::nullopt;
}

std::optional<bool> optionalBool(const QJsonObject& json, const QString& key) {
    const QJsonValue value = json.value(key);
    if (value.isBool()) {
        return value.toBool();
    }
    if (value.isDouble()) {
        return value.toDouble() != 0;
    }
    return std::nullopt;
}

std::optional<int> optionalInt(const QJsonObject& json, const QString& key) {
    const QJsonValue value = json.value(key);
    return value.isDouble() ? std::optional<int>(value.toInt()) : std::nullopt;
}

std::optional<QStringList> optionalStrings(const QJsonObject& json, const QString& key) {
    const QJsonValue value = json.value(key);
    if (!value.isArray()) {
        return std::nullopt;
    }
    QStringList list;
    for (const QJsonValue& item : value.toArray()) {
        if (item.isString()) {
            list.append(item.toString());
        }
    }
    return list;
}

template <typename T>
void put(QJsonObject& json, const QString& key, const std::optional<T>& value) {
    if (value) {
        if constexpr (std::is_same_v<T, QStringList>) {
            json.insert(key, QJsonArray::fromStringList(*value));
        } else {
            json.insert(key, *value);
        }
    }
}

} // namespace

QString formatKeyName(FormatKey key) {
    switch (key) {
    case FormatKey::Pdf:
        return jobkeys::pdfFormat;
    case FormatKey::Eml:
        return jobkeys::emlFormat;
    case FormatKey::Attachment:
        return jobkeys::attachmentFormat;
    }
    return {};
}

const QString& JobOptions::format(FormatKey key) const {
    switch (key) {
    case FormatKey::Eml:
        return emlFormat;
    case FormatKey::Attachment:
        return attachmentFormat;
    case FormatKey::Pdf:
        break;
    }
    return pdfFormat;
}

QJsonObject JobOptions::toJson() const {
    QJsonObject json;
    json.insert(jobkeys::destFolder, destFolder);
    put(json, jobkeys::destFolderOverride, destFolderOverride);
    json.insert(jobkeys::pdfFormat, pdfFormat);
    json.insert(jobkeys::attachmentFormat, attachmentFormat);
    json.insert(jobkeys::emlFormat, emlFormat);
    put(json, jobkeys::windowsFilenames, windowsFilenames);
    put(json, jobkeys::tinyHeaders, tinyHeaders);
    put(json, jobkeys::loadRemoteImages, loadRemoteImages);
    put(json, jobkeys::emailUsername, emailUsername);
    put(json, jobkeys::imapServer, imapServer);
    put(json, jobkeys::imapPort, imapPort);
    put(json, jobkeys::imapTransport, imapTransport);
    put(json, jobkeys::authSystem, authSystem);
    put(json, jobkeys::accessToken, accessToken);
    put(json, jobkeys::password, password);
    put(json, jobkeys::foldersToSkip, foldersToSkip);
    put(json, jobkeys::trustedCertificate, trustedCertificate);
    put(json, jobkeys::emlFiles, emlFiles);
    return json;
}

JobOptions JobOptions::fromJson(const QJsonObject& json) {
    JobOptions options;
    options.destFolder = optionalString(json, jobkeys::destFolder).value_or(QString());
    options.destFolderOverride = optionalString(json, jobkeys::destFolderOverride);
    options.pdfFormat = optionalString(json, jobkeys::pdfFormat).value_or(QString());
    options.attachmentFormat = optionalString(json, jobkeys::attachmentFormat).value_or(QString());
    options.emlFormat = optionalString(json, jobkeys::emlFormat).value_or(QString());
    options.windowsFilenames = optionalBool(json, jobkeys::windowsFilenames);
    options.tinyHeaders = optionalBool(json, jobkeys::tinyHeaders);
    options.loadRemoteImages = optionalBool(json, jobkeys::loadRemoteImages);
    options.emailUsername = optionalString(json, jobkeys::emailUsername);
    options.imapServer = optionalString(json, jobkeys::imapServer);
    options.imapPort = optionalInt(json, jobkeys::imapPort);
    options.imapTransport = optionalInt(json, jobkeys::imapTransport);
    options.authSystem = optionalString(json, jobkeys::authSystem);
    options.accessToken = optionalString(json, jobkeys::accessToken);
    options.password = optionalString(json, jobkeys::password);
    options.foldersToSkip = optionalStrings(json, jobkeys::foldersToSkip);
    options.trustedCertificate = optionalString(json, jobkeys::trustedCertificate);
    options.emlFiles = optionalStrings(json, jobkeys::emlFiles);
    return options;
}

} // namespace tessaly
