#pragma once

#include "platform/index/sqlitedatabase.h"

#include <QDateTime>
#include <QList>
#include <QString>

namespace tessaly {

// One entry of the search grid: a file or folder of the archive, found by the index, by the
// walk over the folders or by browsing. A value: titles and dates are worked out when it is
// made, so copies are cheap to show and safe to hand between threads.
class SearchItem {
public:
    // A message contributes at most this many attachment entries.
    static constexpr int kMaxAttachments = 21;

    SearchItem() = default;
    // A row as the index query selects it: id, path, kind, title, authors, content_date. The
    // title shown is the message's subject, or the file name when it has none.
    static SearchItem fromIndexRow(const SqliteDatabase::Row& row);
    // A file or folder known by its path alone: shown by its name, with no authors, dated by
    // its modification time (the message's date for files the archive wrote).
    static SearchItem fromPath(const QString& path);

    const QString& path() const { return m_path; }
    // "pdf", "eml" or "attachment" as the index names files, or "folder".
    const QString& kind() const { return m_kind; }
    // Invalid when the date is unknown: such items sort after every dated one.
    const QDateTime& creationDate() const { return m_creationDate; }
    bool isAttachment() const { return m_isAttachment; }
    const QString& fullTitle() const { return m_title; }
    // The authors joined with ", "; always empty for an attachment.
    QString fullSubtitle() const { return m_isAttachment ? QString() : m_authors; }

    // The folder beside a message's PDF that holds its attachments: the path without its
    // extension, followed by " (attachments)". Empty for an item without a path.
    QString attachmentsFolderPath() const;
    // Whether that folder exists, as first seen by this process: the answer is kept per path
    // for the process's life, so scrolling never asks the disk twice.
    bool hasAttachments() const;
    // Appends the files of the attachments folder (at any depth, hidden names and hidden
    // folders skipped, sorted by name), at most kMaxAttachments, each marked as an
    // attachment. Returns how many were appended.
    int addAttachments(QList<SearchItem>* items) const;

    // A file name without the date and time stamp the archive puts at its front, and without
    // the mailbox extensions; trimmed.
    static QString stripAnnoyingStuff(const QString& name);
    // The name of the path's last folder, or for a month folder of one or two characters
    // inside a year folder ("2019/03"), the month's name.
    static QString getItemTitlePerhapsMonth(const QString& path);
    // The locale's stand-alone name of months 1 to 12; "n/a" for 0 (no number) and for
    // negative numbers, which name no month either; "of" for 13 and above.
    static QString getMonthName(int month);

private:
    static QString titleFrom(const QString& displayName, const QString& path);

    QString m_path;
    QString m_kind;
    QString m_title;
    QString m_authors;
    QDateTime m_creationDate;
    bool m_isAttachment = false;
};

} // namespace tessaly
