#include "archive/sources/jobfolders.h"

#include "archive/archivelog.h"

#include <QFileInfo>

namespace tessaly {

namespace {

QStringList components(const QString& path) {
    return path.split(u'/', Qt::SkipEmptyParts);
}

} // namespace

JobFolders::JobFolders(QString commonBasePath, QString splitRoot, QString jobName)
    : m_commonBasePath(std::move(commonBasePath))
    , m_splitRoot(std::move(splitRoot))
    , m_jobName(std::move(jobName)) {
}

QString JobFolders::commonAncestorEMLPaths(const QStringList& paths) {
    if (paths.isEmpty()) {
        return {};
    }
    if (paths.size() == 1) {
        const QString& path = paths.first();
        const QFileInfo info(path);
        if (info.exists()) {
            return info.isDir() ? path : info.path();
        }
        qCWarning(lcArchive).noquote()
            << "NOT GOOD - path passed into commonAncestorEMLPaths does not exist:" << path;
        return info.suffix().size() > 4 ? path : info.path();
    }
    QStringList common = components(paths.first());
    for (qsizetype i = 1; i < paths.size() && !common.isEmpty(); ++i) {
        const QStringList other = components(paths[i]);
        qsizetype same = 0;
        while (same < std::min(common.size(), other.size()) && common[same] == other[same]) {
            ++same;
        }
        common = common.mid(0, same);
    }
    return u'/' + common.join(u'/');
}

bool JobFolders::keepFolderDueToName(const QString& name) {
    return name.size() != 36 && name.size() != 1 && name != u"Data" && name != u"Messages" &&
           name != u"Attachments";
}

QString JobFolders::emlSubFolder(const QString& messagePath) const {
    QString path = messagePath;
    if (!m_splitRoot.isEmpty() && path.startsWith(m_splitRoot) &&
        !m_commonBasePath.startsWith(m_splitRoot)) {
        path.remove(m_splitRoot);
        if (!path.startsWith(u'/')) {
            path.prepend(u'/');
        }
    }
    if (!path.startsWith(m_commonBasePath)) {
        const qsizetype found = path.indexOf(m_commonBasePath);
        if (found >= 0) {
            path = path.mid(found);
        } else {
            qCWarning(lcArchive).noquote() << "what? bug in emlSubFolder: EML" << path
                                           << ", commonBasePath:" << m_commonBasePath;
        }
    }
    const QStringList base = components(m_commonBasePath);
    const QStringList folder = components(QFileInfo(path).path());
    if (base.size() >= folder.size()) {
        if (m_jobName.startsWith(u'/')) {
            return QFileInfo(m_jobName).fileName();
        }
        return QStringLiteral("EML");
    }
    QStringList kept;
    for (qsizetype i = std::max<qsizetype>(base.size() - 1, 0); i < folder.size(); ++i) {
        if (keepFolderDueToName(folder[i])) {
            kept.append(folder[i]);
        }
    }
    return kept.join(u'/');
}

JobFolders JobFolders::forAccount(const QString& address) {
    JobFolders folders;
    folders.m_jobName = address;
    folders.m_account = address;
    return folders;
}

QString JobFolders::getMainFolder() const {
    if (!m_account.isEmpty()) {
        return m_account;
    }
    const QString last = QFileInfo(m_commonBasePath).fileName();
    return last.isEmpty() ? QStringLiteral("PDFs") : last;
}

QString JobFolders::sourceDescription(const QString& messagePath) const {
    if (m_splitRoot.isEmpty() || !messagePath.startsWith(m_splitRoot + u'/')) {
        return messagePath;
    }
    const QString inMailbox = messagePath.mid(m_splitRoot.size());
    const qsizetype slash = inMailbox.lastIndexOf(u'/');
    QString name = inMailbox.mid(slash + 1);
    if (name.endsWith(QStringLiteral(".eml"))) {
        name.chop(4);
    }
    if (name.startsWith(QStringLiteral("m_"))) {
        name.remove(0, 2);
    }
    return QStringLiteral("%1 (message %2)").arg(inMailbox.left(slash), name);
}

} // namespace tessaly
