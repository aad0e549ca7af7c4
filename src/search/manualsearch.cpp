#include "search/manualsearch.h"

#include "tags/openmeta.h"

#include <QDirIterator>
#include <QFileInfo>
#include <QLoggingCategory>

namespace tessaly {

namespace {
Q_LOGGING_CATEGORY(lcSearch, "tessaly.search")
} // namespace

QStringList ManualSearch::searchOnThread(const QStringList& scopes, const Matcher& matches,
                                         const std::atomic<bool>* cancelled) {
    QStringList found;
    for (const QString& scope : scopes) {
        // Hidden entries are left out, and with them everything inside hidden folders (the
        // ledger's ".tessaly" among them).
        QDirIterator it(scope, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            if (cancelled != nullptr && cancelled->load()) {
                return found;
            }
            const QString path = it.next();
            const QFileInfo info = it.fileInfo();
            QString name = info.fileName();
            if (name.isEmpty()) {
                qCInfo(lcSearch).noquote() << "error on file name is" << path;
                name = path.section(u'/', -1);
            }
            OpenMetaResult error;
            const std::optional<QStringList> read = OpenMeta::getAppleTags(path, &error);
            if (!read && error) {
                qCInfo(lcSearch).noquote() << "error on tags is" << path;
            }
            const QStringList tags = read.value_or(QStringList());
            if (!matches(name, tags) || !info.exists()) {
                continue;
            }
            found.append(path);
            if (found.size() > kMaxItems) {
                return found;
            }
        }
    }
    return found;
}

} // namespace tessaly
