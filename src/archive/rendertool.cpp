#include "archive/rendertool.h"

#include "archive/archivelog.h"
#include "render/destinationpaths.h"
#include "archive/emlxconverter.h"
#include "render/messagedates.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QtConcurrent/QtConcurrentRun>

namespace tessaly {

namespace {

constexpr qsizetype kMinMessageBytes = 65;
constexpr int kHandOutBudgetMs = 100;

QStringList components(const QString& path) {
    return path.split(u'/', Qt::SkipEmptyParts);
}

QString describe(const MCOMessageParser* message) {
    if (!message) {
        return QStringLiteral("(no message)");
    }
    const MCOMessageHeader& header = message->header();
    QString text = QStringLiteral("subject \"%1\"").arg(header.subject());
    if (header.from()) {
        text += QStringLiteral(", from %1").arg(header.from()->mailbox);
    }
    if (header.date()) {
        text += QStringLiteral(", dated %1").arg(header.date()->toString(Qt::ISODate));
    }
    return text;
}

} // namespace

RenderTool::RenderTool(JobOptions options, Environment environment, QObject* parent)
    : QObject(parent)
    , m_options(std::move(options))
    , m_environment(std::move(environment)) {
    m_timer.setInterval(m_environment.tickMs);
    connect(&m_timer, &QTimer::timeout, this, &RenderTool::renderTimer);
    m_timer.start();
    for (int i = 0; i < m_environment.poolSize; ++i) {
        m_renderEngines.push_back(m_environment.makeEngine(m_options));
        m_engineSource.emplace_back();
    }
    connect(&m_expansion, &QFutureWatcher<FileExpansion::Result>::finished, this, [this] {
        const FileExpansion::Result result = m_expansion.result();
        m_commonBasePath = commonAncestorEMLPaths(m_options.emlFiles.value_or(QStringList{}));
        m_emlToRender.clear();
        // Taken from the end: what could not be read is handed out last.
        for (const QString& unreadable : result.unreadable) {
            const qsizetype colon = unreadable.indexOf(QStringLiteral(": "));
            m_emlToRender.append({unreadable.left(colon), unreadable.mid(colon + 2)});
        }
        for (const QString& path : combineLists(result.emls, result.emlxs)) {
            m_emlToRender.append({path, QString()});
        }
        m_totalEmailCount = static_cast<int>(m_emlToRender.size());
        m_gettingFileList = false;
    });
}

RenderTool::~RenderTool() {
    m_expansion.waitForFinished();
    cleanup();
}

QStringList RenderTool::combineLists(const QStringList& emls, const QStringList& emlxs) {
    if (emlxs.isEmpty()) {
        return emls;
    }
    if (emlxs.size() > emls.size() * 10) {
        return emlxs;
    }
    return emls + emlxs;
}

QString RenderTool::commonAncestorEMLPaths(const QStringList& paths) {
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

bool RenderTool::keepFolderDueToName(const QString& name) {
    return name.size() != 36 && name.size() != 1 && name != u"Data" && name != u"Messages" &&
           name != u"Attachments";
}

QString RenderTool::emlSubFolder(const QString& messagePath) const {
    QString path = messagePath;
    const QString splitRoot = m_environment.splitRoot;
    if (!splitRoot.isEmpty() && path.startsWith(splitRoot) &&
        !m_commonBasePath.startsWith(splitRoot)) {
        path.remove(splitRoot);
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

QString RenderTool::getMainFolder() const {
    const QString last = QFileInfo(m_commonBasePath).fileName();
    return last.isEmpty() ? QStringLiteral("PDFs") : last;
}

std::shared_ptr<MCOMessageParser> RenderTool::makeMCOMessage(const QString& path,
                                                             QString* mailappAttachments) const {
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
        return nullptr;
    }
    auto message = MCOMessageParser::messageParserWithData(*data);
    const std::optional<QDateTime> date =
        MessageDates::dateFromMailCoreHeaderAndFixTheHeaderToo(message->header());
    if (!MessageDates::dateOKForEmail(date)) {
        qCInfo(lcArchive).noquote()
            << "found 1970 reparse will happen on next line," << message->header().subject();
        if (const std::optional<QByteArray> fixed =
                FileExpansion::tryCatchFixHeaderLinesInData(*data)) {
            message = MCOMessageParser::messageParserWithData(*fixed);
            const auto newDate =
                MessageDates::dateFromMailCoreHeaderAndFixTheHeaderToo(message->header());
            qCInfo(lcArchive) << "Fixed date is" << (newDate ? *newDate : QDateTime());
        }
    }
    return message;
}

void RenderTool::renderPDFs() {
    m_isWaiting = false;
    m_fractionDone = 0.005;
    m_operationDescription = QStringLiteral("%d of %d (scanning for files)");
    renderEMLFiles();
}

void RenderTool::renderEMLFiles() {
    m_gettingFileList = true;
    const QStringList paths = m_options.emlFiles.value_or(QStringList{});
    const QString splitRoot = m_environment.splitRoot;
    m_expansion.setFuture(QtConcurrent::run(
        [paths, splitRoot] { return FileExpansion::explodeFilesAndFolders(paths, splitRoot); }));
}

QString RenderTool::statusText(int numDone) const {
    QString text = m_operationDescription;
    const int numbers[] = {m_numEmailsArchived, m_totalEmailCount, numDone};
    for (int number : numbers) {
        const qsizetype at = text.indexOf(QStringLiteral("%d"));
        if (at < 0) {
            break;
        }
        text.replace(at, 2, QString::number(number));
    }
    return text;
}

void RenderTool::renderTimer() {
    if (m_allDone || m_isWaiting) {
        return;
    }
    if (m_gettingFileList) {
        m_totalEmailCount = FileExpansion::runningCount;
        return;
    }
    if (m_totalEmailCount > 0) {
        m_operationDescription = QStringLiteral("Archiving\u2026 %d of %d, %d new");
        m_fractionDone = m_numEmailsArchived * 0.8 / m_totalEmailCount + 0.15;
    }
    recordFailedMessages();

    QElapsedTimer budget;
    budget.start();
    bool started = true;
    while (started && budget.elapsed() < kHandOutBudgetMs) {
        started = false;
        for (int i = 0; i < static_cast<int>(m_renderEngines.size()); ++i) {
            if (!m_renderEngines[i]->busyDoingSomething() && tryAEMLRender(i)) {
                started = true;
            }
            if (budget.elapsed() > kHandOutBudgetMs) {
                break;
            }
        }
    }
    checkForAllDone();
}

void RenderTool::recordFailedMessages() {
    for (std::size_t i = 0; i < m_renderEngines.size(); ++i) {
        bool retry = false;
        std::optional<MessageToHTMLToPDF::FailedMessage> record =
            m_renderEngines[i]->getAndClearFailedMessage(&retry);
        if (!record) {
            continue;
        }
        Failure failure{*record, m_engineSource[i]};
        if (retry) {
            m_abandonedMessages.append(failure);
        } else {
            m_failedMessages.append(failure);
        }
    }
}

void RenderTool::collectOutcomes(MessageToHTMLToPDF& engine) {
    const std::optional<MessageToHTMLToPDF::Outcome> outcome = engine.takeFinishedOutcome();
    if (!outcome) {
        return;
    }
    using Outcome = MessageToHTMLToPDF::Outcome;
    switch (*outcome) {
    case Outcome::Made:
        ++m_figures.pdfsMade;
        break;
    case Outcome::EmlOnly:
        ++m_figures.emlOnly;
        break;
    case Outcome::AlreadyArchived:
        ++m_figures.alreadyArchived;
        break;
    case Outcome::EmergencyEml:
        ++m_figures.emergencyEml;
        break;
    case Outcome::Unreadable:
        ++m_figures.unreadable;
        break;
    case Outcome::Failed:
        break; // its failure record decides: retried, or abandoned after the retry
    case Outcome::None:
    case Outcome::GivenUp:
    case Outcome::Nothing:
    case Outcome::NotArchived:
        ++m_figures.notArchived;
        break;
    }
}

bool RenderTool::tryAEMLRender(int index) {
    MessageToHTMLToPDF& engine = *m_renderEngines[index];
    collectOutcomes(engine);
    if (!m_emlToRender.isEmpty()) {
        const WorkItem item = m_emlToRender.takeLast();
        QString mailappAttachments;
        std::shared_ptr<MCOMessageParser> message;
        if (item.unreadableReason.isEmpty()) {
            message = makeMCOMessage(item.path, &mailappAttachments);
        }
        if (!message) {
            QString reason = item.unreadableReason;
            if (reason.isEmpty()) {
                const QFileInfo info(item.path);
                if (!info.isReadable()) {
                    reason = QStringLiteral("cannot be read");
                } else if (info.suffix() == u"emlx") {
                    reason = QStringLiteral("not a mail-client message file (.emlx) with a "
                                            "message in it");
                } else {
                    reason = QStringLiteral("too short to be a message (fewer than 65 bytes)");
                }
            }
            m_unreadable.append(item.path + QStringLiteral(": ") + reason);
        }
        m_engineSource[index] = item.path;
        engine.startRender(message, getMainFolder(), emlSubFolder(item.path), false, m_jobName,
                           mailappAttachments);
        ++m_numEmailsArchived;
        return true;
    }
    if (!m_failedMessages.isEmpty()) {
        const Failure failure = m_failedMessages.takeLast();
        m_engineSource[index] = failure.path;
        engine.startRender(failure.record.message, getMainFolder(), QString(), true, m_jobName,
                           QString());
        return true;
    }
    return false;
}

bool RenderTool::anyEngineBusy() {
    bool busy = false;
    for (auto& engine : m_renderEngines) {
        busy = engine->busyDoingSomething() || busy;
    }
    return busy;
}

void RenderTool::checkForAllDone() {
    // Done only when nothing is left to hand out, every failure has had its retry, and every
    // engine is idle; a failure reported by an engine that just went idle still gets its retry.
    if (m_isWaiting || m_gettingFileList || !m_emlToRender.isEmpty() ||
        !m_failedMessages.isEmpty()) {
        return;
    }
    const bool busy = anyEngineBusy();
    m_operationDescription = QStringLiteral("Completing final operations");
    m_fractionDone = 0.92;
    if (busy) {
        return;
    }
    recordFailedMessages();
    if (!m_failedMessages.isEmpty()) {
        return;
    }
    for (auto& engine : m_renderEngines) {
        collectOutcomes(*engine);
    }
    m_operationDescription = QStringLiteral("Done");
    m_fractionDone = 1.0;
    qCInfo(lcArchive).noquote() << "finished all folders for this account" << getMainFolder();
    cleanup();
    if (!m_abandonedMessages.isEmpty() || !m_unreadable.isEmpty()) {
        writeErrorReport();
    }
    Q_EMIT finished();
}

void RenderTool::writeErrorReport() {
    qCInfo(lcArchive) << "There were" << m_abandonedMessages.size()
                      << "abandoned messages that were tried twice without luck";
    const QString folder =
        DestinationPaths::destinationFolder(m_options.destFolder, getMainFolder(), QString());
    m_errorReportPath = folder + QStringLiteral("/Errors.txt");
    QStringList entries;
    for (const Failure& failure : m_abandonedMessages) {
        entries.append(QStringLiteral("Tried twice without luck: %1 (%2)")
                           .arg(failure.path, describe(failure.record.message.get())));
    }
    for (const QString& unreadable : m_unreadable) {
        entries.append(QStringLiteral("Could not be read as a message: %1").arg(unreadable));
    }
    QFile report(m_errorReportPath);
    if (!report.open(QIODevice::WriteOnly | QIODevice::Append)) {
        qCWarning(lcArchive).noquote()
            << "cannot write" << m_errorReportPath << report.errorString();
        return;
    }
    const QString text = QLocale::c().toString(QDateTime::currentDateTime(), QLocale::LongFormat) +
                         QStringLiteral("\n\n\n\n") + entries.join(u'\n') + QStringLiteral("\n\n");
    report.write(text.toUtf8());
}

JobFigures RenderTool::figures() const {
    JobFigures figures = m_figures;
    figures.found = m_totalEmailCount;
    figures.handedOut = m_numEmailsArchived;
    figures.failedTwice = static_cast<int>(m_abandonedMessages.size());
    return figures;
}

void RenderTool::cleanup() {
    m_allDone = true;
    m_timer.stop();
    // All boxes are told first, so they end side by side rather than one after another.
    for (auto& engine : m_renderEngines) {
        engine->prepareShutdown();
    }
    for (auto& engine : m_renderEngines) {
        engine->shutdown();
    }
    m_renderEngines.clear();
}

void RenderTool::cancel() {
    m_isCanceled = true;
    m_operationDescription = QStringLiteral("Cancelled");
    cleanup();
    Q_EMIT finished();
}

} // namespace tessaly
