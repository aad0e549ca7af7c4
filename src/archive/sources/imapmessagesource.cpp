#include "archive/sources/imapmessagesource.h"

#include "archive/archivelog.h"
#include "archive/ledger/messageidentity.h"
#include "archive/sources/messageloader.h"
#include "render/destinationpaths.h"
#include "settings/emailsettings.h"

#include <QCryptographicHash>
#include <QtConcurrent/QtConcurrentRun>

namespace tessaly {

namespace {

// Headers checked against the ledger per worker task, and whole messages fetched at once: the
// session runs its fetches one after another, so a few queued keep its connection busy.
constexpr int kCheckBatch = 32;
constexpr int kMaxChecking = 2;
constexpr int kMaxFetching = 3;

QString describeError(const ImapError& error) {
    return error.description.isEmpty() ? QStringLiteral("the server did not answer")
                                       : error.description;
}

} // namespace

QList<ImapMessageSource::Chunk> ImapMessageSource::chunksFor(const QString& folder, int count) {
    QList<Chunk> chunks;
    if (count <= 0) {
        return chunks;
    }
    const auto n = static_cast<quint32>(count);
    // A chunk covers start … start + numToFetch; the remainder starts one short so that the
    // last chunk ends at the last message. A chunk starting past the last message (a folder
    // of a multiple of 5000) would only make the server answer with an error.
    quint32 remainder = n - 1;
    for (quint32 k = 0; k < n / kChunkSize + 1; ++k) {
        const quint32 take = std::min(kChunkSize, remainder);
        const quint32 start = 1 + kChunkSize * k;
        if (start <= n) {
            chunks.append({folder, start, take, 0});
        }
        remainder -= take;
    }
    return chunks;
}

QString ImapMessageSource::displayName(const QString& folder) {
    QString shown;
    shown.reserve(folder.size());
    for (const QChar c : folder) {
        if (c == u'\t') {
            shown += QStringLiteral("\\t");
        } else if (c == u'\n') {
            shown += QStringLiteral("\\n");
        } else if (c == u'\r') {
            shown += QStringLiteral("\\r");
        } else if (c == u'\\') {
            shown += QStringLiteral("\\\\");
        } else if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format ||
                   c == QChar::LineSeparator || c == QChar::ParagraphSeparator) {
            shown += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
        } else {
            shown += c;
        }
    }
    return shown;
}

QString ImapMessageSource::identityOf(const MCOMessageHeader& header, const QByteArray& headerBlock,
                                      qint64 size) {
    if (std::optional<QString> identity = MessageIdentity::fromHeader(header)) {
        return *identity;
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData("imap\n");
    hash.addData(QByteArray::number(size) + '\n');
    hash.addData(headerBlock);
    return QString::fromLatin1(hash.result().toHex());
}

ImapSessionSettings ImapMessageSource::sessionSettings(const JobOptions& options) {
    ImapSessionSettings settings;
    settings.hostname = options.imapServer.value_or(QString());
    settings.port = options.imapPort.value_or(kImapTlsPort);
    settings.username = options.emailUsername.value_or(QString());
    settings.password = options.password.value_or(QString());
    settings.connectionType = options.imapTransport
                                  ? static_cast<ImapConnectionType>(*options.imapTransport)
                                  : ImapConnectionType::Tls;
    if (options.authSystem == EmailSettings::kauth_google_oauth) {
        settings.xoauth2 = true;
        settings.oauth2Token = options.accessToken.value_or(QString());
    }
    settings.trustedCertificateSha256 = options.trustedCertificate.value_or(QString());
    return settings;
}

ImapMessageSource::ImapMessageSource(JobOptions options, JobFolders folders,
                                     std::shared_ptr<ArchiveLedger> ledger,
                                     std::unique_ptr<ImapSession> session, QObject* parent)
    : MessageSource(parent)
    , m_options(std::move(options))
    , m_folders(std::move(folders))
    , m_account(m_folders.getMainFolder())
    , m_ledger(std::move(ledger))
    , m_session(std::move(session))
    , m_checking(
          this, [this](std::vector<Checked>&& batch) { sortChecked(std::move(batch)); },
          [this] {
              fill();
              Q_EMIT ready();
          })
    , m_parsing(
          this, [this](LoadedMessage&& loaded) { m_ready.push_back(std::move(loaded)); },
          [this] {
              fill();
              Q_EMIT ready();
          }) {
}

ImapMessageSource::~ImapMessageSource() {
    m_session->cancelAll();
    m_checking.waitForAll();
    m_parsing.waitForAll();
}

void ImapMessageSource::start() {
    Q_EMIT progress(QStringLiteral("Requesting email folder list"), 0.005);
    fetchFolderNames(false);
}

void ImapMessageSource::fetchFolderNames(bool retry) {
    m_session->fetchAllFolders([this, retry](const ImapError& error, QList<ImapFolder> folders) {
        if (error.isError()) {
            if (error.kind == ImapError::Kind::Connection && !retry) {
                fetchFolderNames(true); // on a new connection
                return;
            }
            qCWarning(lcArchive).noquote() << QStringLiteral("Error downloading folder names:") +
                                                  displayName(describeError(error));
            Q_EMIT folderListFailed(describeError(error));
            return;
        }
        const QStringList skipped = m_options.foldersToSkip.value_or(QStringList{});
        m_allFolders.clear();
        for (const ImapFolder& folder : folders) {
            // A folder that holds no messages of its own (only other folders) cannot be opened.
            if (!skipped.contains(folder.path) && folder.selectable() &&
                !m_allFolders.contains(folder.path)) {
                m_allFolders.append(folder.path);
            }
        }
        if (m_allFolders.isEmpty()) {
            Q_EMIT folderListFailed(folders.isEmpty()
                                        ? QStringLiteral("the server lists no folders")
                                        : QStringLiteral("every folder is switched off"));
            return;
        }
        m_foldersToFetch = m_allFolders;
        nextFolder();
    });
}

void ImapMessageSource::nextFolder() {
    if (m_foldersToFetch.isEmpty()) {
        finishHeaders();
        return;
    }
    const QString folder = m_foldersToFetch.takeLast();
    m_folderBeingFetched = folder;
    const double fraction = static_cast<double>(m_allFolders.size() - m_foldersToFetch.size() - 1) *
                                0.1 / static_cast<double>(m_allFolders.size()) +
                            0.005;
    Q_EMIT progress(QStringLiteral("Getting headers: ") + displayName(folder), fraction);
    m_session->folderInfo(folder, [this, folder](const ImapError& error, ImapFolderInfo info) {
        folderInfoArrived(folder, error, info, 1);
    });
}

void ImapMessageSource::folderInfoArrived(const QString& folder, const ImapError& error,
                                          const ImapFolderInfo& info, int attempts) {
    if (error.isError()) {
        if (error.kind == ImapError::Kind::Connection && attempts <= kConnectionRetries) {
            m_session->folderInfo(
                folder, [this, folder, attempts](const ImapError& again, ImapFolderInfo i) {
                    folderInfoArrived(folder, again, i, attempts + 1);
                });
            return;
        }
        qCWarning(lcArchive).noquote()
            << "cannot open the folder" << displayName(folder) << ":" << describeError(error);
        Q_EMIT notArchived(
            displayName(folder),
            QStringLiteral("the folder could not be opened: ") + describeError(error), 0);
        updateFoldersBeingFetched();
        return;
    }
    m_total += info.messageCount;
    m_uidValidity = info.uidValidity;
    m_headerChunksToDownload = chunksFor(folder, info.messageCount);
    m_archivedUids.clear();
    if (!m_ledger) {
        downloadNextChunkofHeaders();
        return;
    }
    // The archived UIDs cost a look at each one's file: not on this thread, for a folder of
    // many thousand messages on a slow or busy disk.
    auto* check = new QFutureWatcher<QSet<quint32>>(this);
    connect(check, &QFutureWatcherBase::finished, this, [this, check] {
        check->deleteLater();
        m_archivedUids = check->result();
        downloadNextChunkofHeaders();
    });
    check->setFuture(QtConcurrent::run(
        [ledger = m_ledger, account = m_account, folder, uidValidity = info.uidValidity] {
            return ledger->archivedUids(account, folder, uidValidity);
        }));
}

void ImapMessageSource::downloadNextChunkofHeaders() {
    if (m_headerChunksToDownload.isEmpty()) {
        updateFoldersBeingFetched();
        return;
    }
    // The highest numbers first; the record stays queued until its answer is in.
    const Chunk chunk = m_headerChunksToDownload.last();
    // Where the ledger knows some of the folder's messages, the UIDs come first and only the
    // unknown messages' headers follow; a first run asks for the headers at once.
    const bool uidsFirst = !m_archivedUids.isEmpty();
    m_session->fetchMessagesByNumber(
        chunk.folder, chunk.start, chunk.numToFetch,
        uidsFirst ? ImapRequestKind::Uids : ImapRequestKind::Headers,
        [this, chunk, uidsFirst](const ImapError& error, QList<ImapMessage> messages) {
            chunkArrived(chunk, error, messages, uidsFirst);
        });
}

void ImapMessageSource::chunkArrived(Chunk chunk, const ImapError& error,
                                     const QList<ImapMessage>& messages, bool uidsOnly) {
    if (error.isError()) {
        chunkFailed(chunk, error);
        return;
    }
    // Neighbouring chunks share their boundary message: each message is taken once.
    QList<quint32> unknown;
    for (const ImapMessage& message : messages) {
        if (m_folderUids.contains(message.uid)) {
            continue;
        }
        if (m_archivedUids.contains(message.uid)) {
            m_folderUids.insert(message.uid);
            m_folderNumbers.insert(message.sequence);
            ++m_skipped;
        } else if (uidsOnly) {
            unknown.append(message.uid);
        } else {
            m_folderUids.insert(message.uid);
            m_folderNumbers.insert(message.sequence);
            m_fetchedHeaders.push_back({chunk.folder, m_uidValidity, message, QString(), false});
        }
    }
    if (uidsOnly && !unknown.isEmpty()) {
        m_session->fetchMessagesByUid(
            chunk.folder, unknown, ImapRequestKind::Headers,
            [this, chunk](const ImapError& again, QList<ImapMessage> headers) {
                chunkArrived(chunk, again, headers, false);
            });
        return;
    }
    m_headerChunksToDownload.removeLast();
    downloadNextChunkofHeaders();
}

void ImapMessageSource::chunkFailed(Chunk chunk, const ImapError& error) {
    qCWarning(lcArchive).noquote()
        << QStringLiteral("Error downloading message headers for folder :%1 , error:%2")
               .arg(displayName(chunk.folder), describeError(error));
    m_headerChunksToDownload.removeLast();
    if (error.kind == ImapError::Kind::Connection && chunk.attempts < kConnectionRetries) {
        // A dropped connection: the session connects again for the next command. Headers that
        // did arrive before the drop are asked for again; none were kept.
        ++chunk.attempts;
        m_headerChunksToDownload.append(chunk);
    } else {
        // Counted once: messages of the chunk archived by their UID are counted as such, and
        // its first message may have come with the neighbouring chunk.
        int missing = 0;
        for (quint32 n = chunk.start; n <= chunk.start + chunk.numToFetch; ++n) {
            missing += m_folderNumbers.contains(n) ? 0 : 1;
        }
        Q_EMIT notArchived(
            QStringLiteral("%1 (messages %2 to %3)")
                .arg(displayName(chunk.folder))
                .arg(chunk.start)
                .arg(chunk.start + chunk.numToFetch),
            QStringLiteral("their headers could not be fetched: ") + describeError(error), missing);
    }
    downloadNextChunkofHeaders();
}

void ImapMessageSource::updateFoldersBeingFetched() {
    m_folderBeingFetched.reset();
    m_archivedUids.clear();
    m_folderUids.clear();
    m_folderNumbers.clear();
    nextFolder();
}

void ImapMessageSource::finishHeaders() {
    m_headersFetched = true;
    fill();
    Q_EMIT ready();
}

bool ImapMessageSource::finished() const {
    return m_headersFetched && m_fetchedHeaders.empty() && m_checking.empty() &&
           m_needBody.empty() && m_fetching == 0 && m_parsing.empty() && m_ready.empty() &&
           m_skipped == 0 && m_fetchFailures.isEmpty();
}

int ImapMessageSource::readyNeedingEngines() const {
    return static_cast<int>(std::count_if(m_ready.begin(), m_ready.end(),
                                          [](const auto& m) { return !m.alreadyArchived; }));
}

void ImapMessageSource::setReadyLimit(int limit) {
    m_readyLimit = std::max(1, limit);
    fill();
}

int ImapMessageSource::inFlight() const {
    return static_cast<int>(m_needBody.size()) + m_fetching + m_parsing.size() +
           readyNeedingEngines();
}

QString ImapMessageSource::source(const Pending& pending) const {
    return QStringLiteral("%1 (UID %2)").arg(displayName(pending.folder)).arg(pending.message.uid);
}

ArchiveLedger::ImapOrigin ImapMessageSource::origin(const Pending& pending) const {
    return {m_account, pending.folder, pending.uidValidity, pending.message.uid};
}

std::optional<LoadedMessage> ImapMessageSource::take() {
    if (m_skipped > 0) {
        --m_skipped;
        LoadedMessage archived;
        archived.alreadyArchived = true;
        return archived;
    }
    if (m_ready.empty()) {
        fill();
        return std::nullopt;
    }
    LoadedMessage next = std::move(m_ready.front());
    m_ready.pop_front();
    fill();
    return next;
}

void ImapMessageSource::sortChecked(std::vector<Checked>&& batch) {
    for (Checked& checked : batch) {
        if (!checked.claimError.isEmpty()) {
            LoadedMessage failed;
            failed.path = source(checked.pending);
            failed.message =
                MCOMessageParser::messageParserWithData(checked.pending.message.header);
            failed.claimError = checked.claimError;
            m_ready.push_back(std::move(failed));
        } else if (checked.archived) {
            LoadedMessage archived;
            archived.alreadyArchived = true;
            m_ready.push_back(std::move(archived));
        } else {
            m_needBody.push_back(std::move(checked.pending));
        }
    }
}

void ImapMessageSource::fill() {
    if (!m_headersFetched) {
        return;
    }
    // Headers are checked against the ledger first: a message archived already (found again
    // after the folder's UIDVALIDITY changed, or a copy in another folder under the same
    // name) is never downloaded.
    while (m_checking.size() < kMaxChecking && !m_fetchedHeaders.empty() &&
           inFlight() < 2 * m_readyLimit) {
        std::vector<Pending> batch;
        while (!m_fetchedHeaders.empty() && static_cast<int>(batch.size()) < kCheckBatch) {
            batch.push_back(std::move(m_fetchedHeaders.back()));
            m_fetchedHeaders.pop_back();
        }
        std::vector<ArchiveLedger::ImapOrigin> origins;
        std::vector<QString> sources;
        for (const Pending& pending : batch) {
            origins.push_back(origin(pending));
            sources.push_back(source(pending));
        }
        m_checking.run(nullptr, [batch = std::move(batch), origins = std::move(origins),
                                 sources = std::move(sources), options = m_options,
                                 folders = m_folders, ledger = m_ledger]() mutable {
            std::vector<Checked> checked;
            for (size_t i = 0; i < batch.size(); ++i) {
                Checked result{std::move(batch[i]), false, QString()};
                const ImapMessage& message = result.pending.message;
                const auto header = MessageLoader::parseMessageData(message.header);
                result.pending.identity =
                    identityOf(header->header(), message.header, message.size);
                QString base = DestinationPaths::computeDestinationPath(
                    *header, folders.getMainFolder(), result.pending.folder, FormatKey::Pdf,
                    QString(), options);
                if (base.isEmpty()) {
                    base = DestinationPaths::computeDestinationPath(
                        *header, folders.getMainFolder(), result.pending.folder, FormatKey::Eml,
                        QString(), options);
                }
                if (!base.isEmpty() && ledger &&
                    ledger->archivedAlready(result.pending.identity, base)) {
                    // Claimed, so that its UID is noted and the next run skips it.
                    QString error;
                    const auto claim = ledger->claim(result.pending.identity, base, sources[i], {},
                                                     &error, origins[i]);
                    if (!claim) {
                        result.claimError =
                            QStringLiteral("the archive's ledger cannot be written: ") + error;
                    } else if (claim->kind == ArchiveLedger::Claim::Kind::SameMessage) {
                        result.archived = true;
                    } else {
                        ledger->release(claim->row); // rendered from the whole message
                    }
                }
                checked.push_back(std::move(result));
            }
            return checked;
        });
    }
    while (m_fetching < kMaxFetching && !m_needBody.empty() &&
           m_fetching + m_parsing.size() + readyNeedingEngines() < m_readyLimit) {
        Pending pending = std::move(m_needBody.front());
        m_needBody.pop_front();
        startFetch(std::move(pending));
    }
    // Every message has been handed out once: the fetches that failed get their second try.
    if (!m_fetchFailures.isEmpty() && m_fetchedHeaders.empty() && m_checking.empty() &&
        m_needBody.empty() && m_fetching == 0 && m_parsing.empty()) {
        for (Pending& pending : m_fetchFailures) {
            pending.retry = true;
            m_needBody.push_back(std::move(pending));
        }
        m_fetchFailures.clear();
        fill();
    }
}

void ImapMessageSource::startFetch(Pending pending) {
    ++m_fetching;
    const QString folder = pending.folder;
    const quint32 uid = pending.message.uid;
    m_session->fetchMessage(
        folder, uid,
        [this, pending = std::move(pending)](const ImapError& error, QByteArray data) mutable {
            --m_fetching;
            fetchArrived(std::move(pending), error, data);
        });
}

void ImapMessageSource::fetchArrived(Pending pending, const ImapError& error,
                                     const QByteArray& data) {
    if (error.isError() || data.isEmpty()) {
        const QString reason =
            error.isError() ? describeError(error) : QStringLiteral("the server sent no message");
        qCWarning(lcArchive).noquote()
            << "IMAP to eml message download failed to get any data: error" << reason << ", message"
            << source(pending);
        if (!pending.retry) {
            m_fetchFailures.append(std::move(pending));
        } else {
            LoadedMessage failed;
            failed.path = source(pending);
            failed.failedTwiceReason = QStringLiteral("could not be fetched: ") + reason;
            m_ready.push_back(std::move(failed));
            Q_EMIT ready();
        }
        fill();
        return;
    }
    ++m_bodiesFetched;
    const QString description = source(pending);
    const ArchiveLedger::ImapOrigin from = origin(pending);
    m_parsing.run(nullptr, [data, pending = std::move(pending), description, from,
                            options = m_options, folders = m_folders, ledger = m_ledger] {
        LoadedMessage loaded;
        loaded.path = description;
        loaded.mailFolder = pending.folder;
        loaded.message = MessageLoader::parseMessageData(data);
        loaded.identity = pending.identity;
        MessageLoader::claimName(loaded, description, options, folders, ledger.get(), from);
        return loaded;
    });
}

} // namespace tessaly
