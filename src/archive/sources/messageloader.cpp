#include "archive/sources/messageloader.h"

#include "archive/archivelog.h"
#include "archive/ledger/messageidentity.h"
#include "archive/sources/emlxconverter.h"
#include "archive/sources/fileexpansion.h"
#include "platform/files/atomicfile.h"
#include "render/destinationpaths.h"
#include "render/messagedates.h"
#include "render/soundfiles.h"

#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

namespace tessaly {

namespace {

constexpr qsizetype kMinMessageBytes = 65;
// A chunk of work for one worker: enough files that handing it over costs little, and no
// more message bytes than memory should hold in waiting.
constexpr int kChunkItems = 64;
constexpr qint64 kChunkBytes = 4 << 20;
// Headers longer than this are not worth a shortcut: the whole message is read.
constexpr qint64 kMaxHeaderBytes = 256 << 10;

QString unreadableReasonFor(const QString& path) {
    const QFileInfo info(path);
    if (!info.exists()) {
        return QStringLiteral("no longer exists");
    }
    if (!info.isReadable()) {
        return QStringLiteral("cannot be read");
    }
    if (info.suffix() == u"emlx") {
        return QStringLiteral("not a mail-client message file (.emlx) with a message in it");
    }
    return QStringLiteral("too short to be a message (fewer than 65 bytes)");
}

// The header block of a message file, or nothing when it does not end early in the file.
std::optional<QByteArray> readHeader(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    QByteArray header;
    while (header.size() < kMaxHeaderBytes) {
        const QByteArray block = file.read(16 << 10);
        if (block.isEmpty()) {
            return std::nullopt;
        }
        header += block;
        // The header ends at the first empty line, whichever line ending the message uses.
        qsizetype end = -1;
        for (const char* separator : {"\n\n", "\n\r\n"}) {
            const qsizetype at = header.indexOf(separator);
            if (at >= 0 && (end < 0 || at < end)) {
                end = at;
            }
        }
        if (end >= 0) {
            header.truncate(end + 1);
            return header + "\n";
        }
    }
    return std::nullopt;
}

// Whether the whole file has enough lines for the header repair.
bool hasLinesToFix(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return false;
    }
    // Enough is found in the first block of nearly every message.
    QByteArray data;
    while (!file.atEnd()) {
        data += file.read(64 << 10);
        // A CR at the end of what was read may be the first half of a CR LF.
        const QByteArrayView seen =
            QByteArrayView(data).chopped(data.endsWith('\r') && !file.atEnd() ? 1 : 0);
        if (FileExpansion::lineCountAtLeast(seen, FileExpansion::kMinLinesToFix) >=
            FileExpansion::kMinLinesToFix) {
            return true;
        }
    }
    return false;
}

} // namespace

MessageLoader::MessageLoader(JobOptions options, JobFolders folders,
                             std::shared_ptr<ArchiveLedger> ledger, QObject* parent)
    : MessageSource(parent)
    , m_options(std::move(options))
    , m_folders(std::move(folders))
    , m_ledger(std::move(ledger))
    , m_loading(
          this,
          [this](Chunk&& chunk) {
              for (LoadedMessage& loaded : chunk) {
                  m_ready.push_back(std::move(loaded));
              }
          },
          [this] {
              fill();
              Q_EMIT ready();
          }) {
}

MessageLoader::~MessageLoader() {
    // Chunks not started yet would otherwise be run here, on the main thread, by the wait.
    *m_cancelled = true;
    m_work.clear();
    m_loading.waitForAll();
}

std::shared_ptr<MCOMessageParser>
MessageLoader::makeMCOMessage(const QString& path, QString* mailappAttachments, QString* reason) {
    std::optional<QByteArray> data;
    if (QFileInfo(path).suffix() == u"emlx") {
        data = EmlxConverter::emlxFileToEMLDataWithIntertwinedParts(path, mailappAttachments);
    } else {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly)) {
            data = file.readAll();
        }
    }
    if (!data || data->size() < kMinMessageBytes) {
        qCInfo(lcArchive).noquote() << "Email could not be made" << path;
        if (reason) {
            *reason = unreadableReasonFor(path);
        }
        return nullptr;
    }
    return parseMessageData(*data);
}

std::shared_ptr<MCOMessageParser> MessageLoader::parseMessageData(const QByteArray& data) {
    auto message = MCOMessageParser::messageParserWithData(data);
    const std::optional<QDateTime> date =
        MessageDates::dateFromMailCoreHeaderAndFixTheHeaderToo(message->header());
    if (!MessageDates::dateOKForEmail(date)) {
        qCInfo(lcArchive).noquote()
            << "found 1970 reparse will happen on next line," << message->header().subject();
        if (const std::optional<QByteArray> fixed =
                FileExpansion::tryCatchFixHeaderLinesInData(data)) {
            message = MCOMessageParser::messageParserWithData(*fixed);
            const auto newDate =
                MessageDates::dateFromMailCoreHeaderAndFixTheHeaderToo(message->header());
            qCInfo(lcArchive) << "Fixed date is" << (newDate ? *newDate : QDateTime());
        }
    }
    return message;
}

std::optional<QString>
MessageLoader::pdfPathFromHeader(const QString& path, const JobOptions& options,
                                 const JobFolders& folders, const QString& mailFolder,
                                 std::optional<QString>* identity, bool* repaired) {
    if (options.pdfFormat.size() < DestinationPaths::kMinFormatLength ||
        QFileInfo(path).suffix() == u"emlx") {
        return std::nullopt;
    }
    const std::optional<QByteArray> header = readHeader(path);
    if (!header || header->size() < kMinMessageBytes) {
        return std::nullopt;
    }
    auto message = MCOMessageParser::messageParserWithData(*header);
    if (!MessageDates::dateOKForEmail(
            MessageDates::dateFromMailCoreHeaderAndFixTheHeaderToo(message->header()))) {
        // Repaired as the whole message would be: the repair treats each header line on its
        // own, so only a message too short for it is left to the full load.
        if (FileExpansion::lineCountAtLeast(*header, FileExpansion::kMinLinesToFix) <
                FileExpansion::kMinLinesToFix &&
            !hasLinesToFix(path)) {
            return std::nullopt;
        }
        message =
            MCOMessageParser::messageParserWithData(FileExpansion::repairHeaderLines(*header));
        if (repaired) {
            *repaired = true;
        }
        (void)MessageDates::dateFromMailCoreHeaderAndFixTheHeaderToo(message->header());
    }
    const QString pdf = DestinationPaths::destinationPath(
        *message, folders.getMainFolder(), mailFolder, FormatKey::Pdf, QString(), options);
    if (pdf.isEmpty()) {
        return std::nullopt;
    }
    if (identity) {
        *identity = MessageIdentity::fromHeader(message->header());
    }
    return pdf;
}

LoadedMessage MessageLoader::load(const WorkItem& item, const JobOptions& options,
                                  const JobFolders& folders, ArchiveLedger* ledger) {
    LoadedMessage loaded;
    loaded.path = item.path;
    loaded.mailFolder = folders.emlSubFolder(item.path);
    if (!item.unreadableReason.isEmpty()) {
        loaded.unreadableReason = item.unreadableReason;
        return loaded;
    }
    // A re-run over an archived folder reads little more than the headers: a message whose
    // Message-ID the ledger knows at its name (or a sound file no message is recorded for)
    // needs nothing else.
    std::optional<QString> headerIdentity;
    bool repaired = false;
    const std::optional<QString> pdf = pdfPathFromHeader(
        item.path, options, folders, loaded.mailFolder, &headerIdentity, &repaired);
    if (pdf && (ledger ? ledger->archivedAlready(headerIdentity, *pdf)
                       : SoundFiles::pdfFilelooksOK(*pdf))) {
        loaded.alreadyArchived = true;
        return loaded;
    }
    // Without a Message-ID the identity is the digest of the bytes, which are the file's own
    // unless the header needed its repair: read, but not parsed.
    // Only where a file is at the name: on a first run the whole message is read next anyway.
    if (pdf && ledger && !headerIdentity && !repaired && QFileInfo::exists(*pdf)) {
        QFile file(item.path);
        if (file.open(QIODevice::ReadOnly) &&
            ledger->archivedAlready(MessageIdentity::ofBytes(file.readAll()), *pdf)) {
            loaded.alreadyArchived = true;
            return loaded;
        }
    }
    loaded.message =
        makeMCOMessage(item.path, &loaded.mailappAttachments, &loaded.unreadableReason);
    if (!loaded.message) {
        return loaded;
    }
    loaded.identity = MessageIdentity::of(loaded.message->header(), loaded.message->data());
    claimName(loaded, folders.sourceDescription(item.path), options, folders, ledger);
    return loaded;
}

void MessageLoader::claimName(LoadedMessage& loaded, const QString& source,
                              const JobOptions& options, const JobFolders& folders,
                              ArchiveLedger* ledger,
                              const std::optional<ArchiveLedger::ImapOrigin>& origin) {
    // Worked out here, off the main thread: formatting a path (and making its folders) can
    // take tens of milliseconds for a message with long headers or on a busy disk.
    QString base =
        DestinationPaths::destinationPath(*loaded.message, folders.getMainFolder(),
                                          loaded.mailFolder, FormatKey::Pdf, QString(), options);
    if (base.isEmpty()) {
        base = DestinationPaths::destinationPath(*loaded.message, folders.getMainFolder(),
                                                 loaded.mailFolder, FormatKey::Eml, QString(),
                                                 options);
    }
    if (base.isEmpty() || !ledger) {
        loaded.name = {base, 1, false};
        return;
    }
    // Archived already is decided without taking the ledger's write lock, which runs of the
    // same archive would otherwise queue for on every message of a re-run.
    // A server's message is claimed even when archived, so that its UID is noted and the next
    // run need not fetch it.
    if (!origin && ledger->archivedAlready(loaded.identity, base)) {
        loaded.alreadyArchived = true;
        loaded.message.reset();
        return;
    }
    // An EML copy already at a name (left by an earlier run that kept only EML files) holds
    // that name for its own message: the same bytes are this message, others are not.
    const bool pdfOn = options.pdfFormat.size() >= DestinationPaths::kMinFormatLength;
    const QString emlBase = pdfOn ? DestinationPaths::computeDestinationPath(
                                        *loaded.message, folders.getMainFolder(), loaded.mailFolder,
                                        FormatKey::Eml, QString(), options)
                                  : QString();
    const QByteArray data = loaded.message->data();
    const ArchiveLedger::NameFree nameFree = [&emlBase, &data](int number) {
        if (emlBase.isEmpty()) {
            return true;
        }
        const QString eml = DestinationPaths::numberedFile(emlBase, number);
        return !QFileInfo::exists(eml) || fileHoldsBytes(eml, data);
    };
    QString error;
    const std::optional<ArchiveLedger::Claim> claim =
        ledger->claim(loaded.identity, base, source, nameFree, &error, origin);
    if (!claim) {
        loaded.claimError = QStringLiteral("the archive's ledger cannot be written: ") + error;
        return;
    }
    if (claim->kind == ArchiveLedger::Claim::Kind::SameMessage) {
        loaded.alreadyArchived = true;
        loaded.message.reset();
        return;
    }
    loaded.name = {claim->path, claim->number, claim->replace};
    loaded.ledgerRow = claim->row;
    return;
}

void MessageLoader::setWork(QList<WorkItem> items) {
    m_work = std::move(items);
    fill();
}

void MessageLoader::setReadyLimit(int limit) {
    m_readyLimit = std::max(1, limit);
    fill();
}

bool MessageLoader::finished() const {
    return m_work.isEmpty() && m_loading.empty() && m_ready.empty();
}

int MessageLoader::readyNeedingEngines() const {
    return static_cast<int>(std::count_if(m_ready.begin(), m_ready.end(),
                                          [](const auto& m) { return !m.alreadyArchived; }));
}

QThreadPool* MessageLoader::pool() {
    // Reading is partly waiting on the disk: twice as many threads as cores keep the cores busy.
    static QThreadPool* const loaders = [] {
        auto* threads = new QThreadPool();
        threads->setMaxThreadCount(2 * std::max(1, QThread::idealThreadCount()));
        return threads;
    }();
    return loaders;
}

void MessageLoader::fill() {
    // Every worker gets a chunk while engines would otherwise run dry; re-runs, whose messages
    // need no engine, keep all workers busy.
    const int workers = pool()->maxThreadCount();
    while (!m_work.isEmpty() && m_loading.size() < workers &&
           readyNeedingEngines() < m_readyLimit) {
        QList<WorkItem> chunk;
        qint64 bytes = 0;
        while (!m_work.isEmpty() && chunk.size() < kChunkItems && bytes < kChunkBytes) {
            chunk.append(m_work.takeLast());
            bytes += QFileInfo(chunk.last().path).size();
        }
        // Delivered in work-list order: a chunk waits for those taken before it.
        m_loading.run(pool(), [chunk = std::move(chunk), options = m_options, folders = m_folders,
                               ledger = m_ledger, cancelled = m_cancelled] {
            Chunk loaded;
            loaded.reserve(static_cast<size_t>(chunk.size()));
            for (const WorkItem& item : chunk) {
                if (*cancelled) {
                    break;
                }
                loaded.push_back(load(item, options, folders, ledger.get()));
            }
            return loaded;
        });
    }
}

std::optional<LoadedMessage> MessageLoader::take() {
    if (m_ready.empty()) {
        return std::nullopt;
    }
    LoadedMessage next = std::move(m_ready.front());
    m_ready.pop_front();
    fill();
    return next;
}

} // namespace tessaly
