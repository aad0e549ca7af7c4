#include "archive/errorreport.h"

#include <QFile>
#include <QLocale>

namespace tessaly {

int ErrorReport::count(Entry::Kind kind) const {
    return static_cast<int>(std::count_if(m_entries.begin(), m_entries.end(),
                                          [kind](const Entry& e) { return e.kind == kind; }));
}

QString ErrorReport::text(const QDateTime& now) const {
    QStringList lines;
    for (const Entry& entry : m_entries) {
        lines.append(
            entry.kind == Entry::Kind::TriedTwice
                ? QStringLiteral("Tried twice without luck: %1 (%2)").arg(entry.path, entry.detail)
                : QStringLiteral("Could not be read as a message: %1: %2")
                      .arg(entry.path, entry.detail));
    }
    return QLocale::c().toString(now, QLocale::LongFormat) + QStringLiteral("\n\n\n\n") +
           lines.join(u'\n') + QStringLiteral("\n\n");
}

QString ErrorReport::write(const QString& folder, QString* error) const {
    const QString path = folder + QStringLiteral("/Errors.txt");
    QFile report(path);
    const QByteArray bytes = text(QDateTime::currentDateTime()).toUtf8();
    if (!report.open(QIODevice::WriteOnly | QIODevice::Append) ||
        report.write(bytes) != bytes.size() || !report.flush()) {
        if (error) {
            *error = report.errorString();
        }
        return {};
    }
    return path;
}

} // namespace tessaly
