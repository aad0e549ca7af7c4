#include "testappcontext.h"

#include "platform/bus/notificationcenter.h"

#include <QDir>

namespace tessaly::test {

namespace {

QString itemName(const QString& service, const QString& account) {
    return service + QChar(u'\n') + account;
}

} // namespace

KeychainLookup MemoryKeychain::find(const QString& service, const QString& account) const {
    KeychainLookup lookup;
    const auto it = m_items.constFind(itemName(service, account));
    if (it == m_items.constEnd()) {
        lookup.error.kind = KeychainError::Kind::NotFound;
        return lookup;
    }
    lookup.data = *it;
    return lookup;
}

KeychainError MemoryKeychain::store(const QString& service, const QString& account,
                                    const QByteArray& data, const QString&) {
    m_items.insert(itemName(service, account), data);
    return {};
}

KeychainError MemoryKeychain::remove(const QString& service, const QString& account) {
    KeychainError error;
    if (m_items.remove(itemName(service, account)) == 0) {
        error.kind = KeychainError::Kind::NotFound;
    }
    return error;
}

TestAppContext::TestAppContext(RenderTool::Environment environment,
                               std::shared_ptr<Keychain> keychain)
    : m_store(m_dir.filePath(QStringLiteral("Tessaly.conf"))),
      m_keychain(keychain ? std::move(keychain) : std::make_shared<MemoryKeychain>(),
                 QStringLiteral("org.tessaly.Tessaly.test")),
      m_accounts(m_store, m_keychain) {
    m_store.registerStandardDefaults();
    m_store.setDestinationFolder(generalDestination());
    environment.splitRoot = folder(QStringLiteral("split"));
    m_controller = std::make_unique<ArchiveController>(
        &m_store, NotificationCenter::distributed(), std::move(environment),
        [this] { return m_store.destinationFolder(); });
    m_controller->setAccounts(&m_accounts);
}

void TestAppContext::startArchivingJob(const QString& source) {
    startedSources.append(source);
    m_controller->startArchiving(source);
}

QString TestAppContext::destinationDirectory(bool allowedToAsk) {
    ++destinationAsks;
    const QString folder = m_store.destinationFolder();
    if (folder.isEmpty() && allowedToAsk) {
        chooseDestinationDirectory();
    }
    return folder;
}

void TestAppContext::showPathFormatEditor(const QString& account, QWidget*) {
    pathFormatEditorsShown.append(account);
}

void TestAppContext::showHelp(const QString& topic, QWidget*) {
    helpTopicsShown.append(topic);
}

void TestAppContext::chooseFolder(QWidget*, const FolderRequest& request,
                                  std::function<void(const QString& path)> chosen) {
    folderRequests.append(request);
    const QString answer = folderChoices.isEmpty() ? QString() : folderChoices.takeFirst();
    if (!answer.isEmpty()) {
        chosen(answer);
    }
}

QString TestAppContext::folder(const QString& name) const {
    const QString path = m_dir.filePath(name);
    QDir().mkpath(path);
    return path;
}

} // namespace tessaly::test
