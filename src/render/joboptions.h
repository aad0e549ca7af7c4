#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <optional>

namespace tessaly {

// Which path format of a job an output kind uses; the names are the record's keys.
enum class FormatKey { Pdf, Eml, Attachment };
QString formatKeyName(FormatKey key);

// Everything one archive job needs, fixed when the job is created. An EML job carries
// emlFiles; an IMAP job carries the connection fields. Unset optional fields are left out of
// the JSON entirely (an absent key and an empty one mean different things to readers).
struct JobOptions {
    // both kinds
    QString destFolder;
    std::optional<QString> destFolderOverride;
    QString pdfFormat;
    QString attachmentFormat;
    QString emlFormat;
    std::optional<bool> windowsFilenames;
    std::optional<bool> tinyHeaders;
    // Whether the page may load remote images and PDFs; absent (older job files) means it may.
    std::optional<bool> loadRemoteImages;

    // IMAP jobs
    std::optional<QString> emailUsername;
    std::optional<QString> imapServer;
    std::optional<int> imapPort;
    std::optional<int> imapTransport;
    std::optional<QString> authSystem;
    std::optional<QString> accessToken;
    std::optional<QString> password;
    std::optional<QStringList> foldersToSkip;
    // The one certificate the user trusts for the account although it does not verify.
    std::optional<QString> trustedCertificate;

    // EML jobs
    std::optional<QStringList> emlFiles;

    bool isEmlJob() const { return emlFiles && !emlFiles->isEmpty(); }
    bool remoteImagesAllowed() const { return loadRemoteImages.value_or(true); }
    const QString& format(FormatKey key) const;

    QJsonObject toJson() const;
    // Reads the keys it knows; others (the render box's own) are ignored. Values of the wrong
    // JSON type count as absent.
    static JobOptions fromJson(const QJsonObject& json);

    bool operator==(const JobOptions&) const = default;
};

namespace jobkeys {
inline const QString emailUsername = QStringLiteral("email_username");
inline const QString destFolder = QStringLiteral("dest_folder");
inline const QString destFolderOverride = QStringLiteral("dest_folder_override");
inline const QString pdfFormat = QStringLiteral("pdf_format");
inline const QString attachmentFormat = QStringLiteral("attachment_format");
inline const QString emlFormat = QStringLiteral("eml_format");
inline const QString imapServer = QStringLiteral("imap_server");
inline const QString imapPort = QStringLiteral("imap_port");
inline const QString imapTransport = QStringLiteral("imap_transport");
inline const QString authSystem = QStringLiteral("auth_system");
inline const QString accessToken = QStringLiteral("access_token");
inline const QString password = QStringLiteral("password");
inline const QString windowsFilenames = QStringLiteral("windows_filenames");
inline const QString tinyHeaders = QStringLiteral("tiny_headers");
inline const QString loadRemoteImages = QStringLiteral("load_remote_images");
inline const QString foldersToSkip = QStringLiteral("folders_to_skip");
inline const QString trustedCertificate = QStringLiteral("trusted_certificate");
inline const QString emlFiles = QStringLiteral("eml_files");
} // namespace jobkeys

} // namespace tessaly
