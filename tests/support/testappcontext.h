#pragma once

#include "app/appcontext.h"
#include "archive/archivecontroller.h"
#include "archive/job/rendertool.h"
#include "platform/keychain/keychain.h"
#include "platform/prefs/preferencestore.h"
#include "settings/emailsettings.h"
#include "settings/fxkeychain.h"

#include <QHash>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

namespace tessaly::test {

// Secrets in memory: for view tests that store passwords without a desktop keyring.
class MemoryKeychain final : public Keychain {
public:
    KeychainLookup find(const QString& service, const QString& account) const override;
    [[nodiscard]] KeychainError store(const QString& service, const QString& account,
                                      const QByteArray& data, const QString& label) override;
    [[nodiscard]] KeychainError remove(const QString& service, const QString& account) override;

private:
    QHash<QString, QByteArray> m_items;
};

// An application for view tests: preferences in a temporary folder, a general destination
// inside it, the keychain handed in (a MemoryKeychain when none is), and a job list whose
// jobs use the environment handed in. It records what the views asked of it.
class TestAppContext final : public AppContext {
public:
    explicit TestAppContext(RenderTool::Environment environment = {},
                            std::shared_ptr<Keychain> keychain = {});

    PreferenceStore& store() override { return m_store; }
    EmailSettings& accounts() override { return m_accounts; }
    ArchiveController& archiveController() override { return *m_controller; }
    void startArchivingJob(const QString& source) override;
    QString destinationDirectory(bool allowedToAsk) override;
    void chooseDestinationDirectory() override { ++destinationChoosersShown; }
    void showPathFormatEditor(const QString& account, QWidget* parent) override;
    void showHelp(const QString& topic, QWidget* parent) override;
    // Answers at once with the first of folderChoices, taken off the list; an empty list (or
    // an empty entry) answers as a cancelled chooser. Every request is kept.
    void chooseFolder(QWidget* parent, const FolderRequest& request,
                      std::function<void(const QString& path)> chosen) override;

    // A folder inside the temporary folder, made on first use.
    QString folder(const QString& name) const;
    QString generalDestination() const { return folder(QStringLiteral("Archive")); }

    QStringList startedSources;
    QStringList pathFormatEditorsShown;
    QStringList helpTopicsShown;
    QStringList folderChoices;
    QList<FolderRequest> folderRequests;
    int destinationChoosersShown = 0;
    int destinationAsks = 0;

private:
    QTemporaryDir m_dir;
    PreferenceStore m_store;
    FXKeychain m_keychain;
    EmailSettings m_accounts;
    std::unique_ptr<ArchiveController> m_controller;
};

} // namespace tessaly::test
