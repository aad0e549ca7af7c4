#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

#include <optional>

namespace tessaly {

// Turns a mail client's .emlx file into the raw message: the length line and the trailing
// property list are dropped, and for partly downloaded messages the attachment bodies stored
// beside them in .emlxpart files are put back where the client took them out.
class EmlxConverter {
public:
    // The raw message with its parts put back; nothing for a file too short to hold one.
    // `mailappAttachments` receives the message's attachments folder, or an empty string.
    static std::optional<QByteArray>
    emlxFileToEMLDataWithIntertwinedParts(const QString& path, QString* mailappAttachments);
    static std::optional<QByteArray> emlxFileToEMLData(const QString& path);
    // The existing part files of a partial message, in part order; nothing when not partial.
    static std::optional<QStringList> emlxparts(const QString& path);
    static QMap<QString, QByteArray> emlxpartAttachments(const QString& path);
    static QString findSierraStyleAttachmentsFolder(const QString& path);

    // Where the next stripped part goes in data[from, from + length): the position, and the
    // bytes chosen for it (taken out of `parts`).
    struct Insertion {
        qsizetype position = -1;
        std::optional<QByteArray> part;
    };
    static std::optional<Insertion> findNextInsertionPoint(qsizetype from, qsizetype length,
                                                           const QByteArray& data,
                                                           QMap<QString, QByteArray>& parts);
    static std::optional<QByteArray> dataForXAppleContentLength(const QByteArray& data,
                                                                qsizetype headerPosition,
                                                                QMap<QString, QByteArray>& parts);
};

} // namespace tessaly
