#include "archive/joboptionsbuilder.h"

#include "archive/archivelog.h"
#include "platform/prefs/preferencekeys.h"
#include "platform/prefs/preferencestore.h"
#include "render/custompath.h"
#include "settings/emailsettings.h"
#include "settings/utils.h"

#include <QDir>

namespace tessaly {

namespace {
std::nullopt_t failed(QString* why, const QString& reason) {
    if (why) {
        *why = reason;
    }
    return std::nullopt;
}
} // namespace

QString destinationNotReachable(const FolderLookup& folder) {
    qCWarning(lcArchive).noquote() << folder.reason;
    return QStringLiteral("the destination folder %1 is not reachable (is its drive mounted?)")
        .arg(folder.path);
}

QString JobOptionsBuilder::generalDestinationProblem(const QString& general) const {
    const FolderLookup stored =
        URLBookmarkInPrefs::URLFromPrefsForKey(m_store, prefkeys::destBookmarkURL);
    // Only the stored choice is checked: a folder handed in for this run alone (the command
    // line's --dest) is made when it is missing.
    if (stored.isSet() && !stored.reachable &&
        QDir::cleanPath(stored.path) == QDir::cleanPath(general)) {
        return destinationNotReachable(stored);
    }
    return {};
}

std::optional<JobOptions> JobOptionsBuilder::shared(const QString& formatsKey, QString* why) const {
    JobOptions options;
    options.destFolder = m_destination ? m_destination() : QString();
    if (options.destFolder.isEmpty()) {
        return failed(why, QStringLiteral("no destination folder is set: choose one where the "
                                          "PDFs should go"));
    }
    options.pdfFormat = CustomPath::getPathFormat(m_store, formatsKey);
    options.attachmentFormat = CustomPath::getAttachmentFormat(m_store, formatsKey);
    options.emlFormat = CustomPath::getEMLFormat(m_store, formatsKey);
    options.windowsFilenames = m_store.useWindowsFriendlyFilenames();
    options.tinyHeaders = m_store.includeTinyHeaderText();
    options.loadRemoteImages = m_store.loadRemoteImages();
    return options;
}

std::optional<JobOptions> JobOptionsBuilder::files(const QStringList& paths,
                                                   const QString& destFolder,
                                                   const QString& jobName, QString* why) const {
    std::optional<JobOptions> options = shared(jobName, why);
    if (!options) {
        return std::nullopt;
    }
    // The error report goes into the general destination even when the files go elsewhere.
    if (const QString problem = generalDestinationProblem(options->destFolder);
        !problem.isEmpty()) {
        return failed(why, problem);
    }
    options->emlFiles = paths;
    if (!destFolder.isEmpty()) {
        options->destFolderOverride = destFolder;
    }
    return options;
}

std::optional<JobOptions> JobOptionsBuilder::account(const QString& address,
                                                     const QString& destinationOverride,
                                                     const QString& password, QString* why) const {
    if (address.isEmpty()) {
        return failed(why, QStringLiteral("no account address"));
    }
    std::optional<JobOptions> options = shared(address, why);
    if (!options) {
        return std::nullopt;
    }
    // An account's report goes beside its messages: with a destination of its own, the
    // general one is not written into.
    if (!destinationOverride.isEmpty()) {
        options->destFolderOverride = destinationOverride;
    } else if (const QString problem = generalDestinationProblem(options->destFolder);
               !problem.isEmpty()) {
        return failed(why, problem);
    }
    options->emailUsername = address;
    const QString server = m_accounts ? m_accounts->imapConfig(address) : QString();
    options->imapServer = Utils::serverNameFromServerString(server);
    options->imapPort = Utils::serverPortFromServerString(server);
    options->imapTransport = static_cast<int>(Utils::useSSLFromServerString(server));
    const QString auth =
        m_accounts ? m_accounts->authSystem(address) : EmailSettings::kauth_user_pass;
    if (password.isEmpty() && auth == EmailSettings::kauth_user_pass) {
        return failed(why, QStringLiteral("no password is stored for %1").arg(address));
    }
    options->authSystem = auth;
    options->accessToken = QString();
    options->password = password;
    const QString skipKey = EmailSettings::emailFoldersOffPrefsKey(address);
    if (m_store.isStored(skipKey)) {
        options->foldersToSkip = m_store.stringListValue(skipKey);
    }
    if (m_accounts && !m_accounts->trustedCertificate(address).isEmpty()) {
        options->trustedCertificate = m_accounts->trustedCertificate(address);
    }
    return options;
}

} // namespace tessaly
