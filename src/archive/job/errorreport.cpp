#include "archive/job/errorreport.h"

#include "platform/files/atomicfile.h"

#include <QFile>
#include <QFileInfo>
#include <QLocale>

namespace tessaly {

int ErrorReport::count(Entry::Kind kind) const {
    return static_cast<int>(std::count_if(m_entries.begin(), m_entries.end(),
                                          [kind](const Entry& e) { return e.kind == kind; }));
}

QString ErrorReport::text(const QDateTime& now) const {
    QStringList lines;
    for (const Entry& entry : m_entries) {
        switch (entry.kind) {
        case Entry::Kind::FailedTwice:
            lines.append(
                QStringLiteral("Tried twice without luck: %1 (%2)").arg(entry.path, entry.detail));
            break;
        case Entry::Kind::Unreadable:
            lines.append(QStringLiteral("Could not be read as a message: %1: %2")
                             .arg(entry.path, entry.detail));
            break;
        case Entry::Kind::EmergencyEml:
            lines.append(
                QStringLiteral("Kept as an EML copy only: %1 (%2)").arg(entry.path, entry.detail));
            break;
        case Entry::Kind::NotArchived:
        default:
            lines.append(QStringLiteral("Not archived: %1 (%2)").arg(entry.path, entry.detail));
            break;
        }
    }
    return QLocale::c().toString(now, QLocale::LongFormat) + QStringLiteral("\n\n\n\n") +
           lines.join(u'\n') + QStringLiteral("\n\n");
}

QString ErrorReport::write(const QString& folder, QString* error) const {
    const QString path = folder + QStringLiteral("/Errors.txt");
    // Earlier reports are kept above this one. The file is replaced as a whole, never written
    // in place: a crash leaves the old report or the new one, and a symbolic link put there is
    // replaced, never followed (nor read through).
    QByteArray bytes;
    const QFileInfo existing(path);
    if (!existing.isSymLink() && existing.isFile()) {
        QFile old(path);
        if (!old.open(QIODevice::ReadOnly)) {
            if (error) {
                *error = old.errorString();
            }
            return {};
        }
        bytes = old.readAll();
    }
    bytes += text(QDateTime::currentDateTime()).toUtf8();
    const WriteOutcome written = writeFileAtomically(path, bytes, ExistingFile::Replace);
    if (!written.written()) {
        if (error) {
            *error = written.error;
        }
        return {};
    }
    return path;
}

} // namespace tessaly
