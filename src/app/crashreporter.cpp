#include "app/crashreporter.h"

#include "platform/prefs/preferencekeys.h"
#include "platform/prefs/preferencestore.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cxxabi.h>
#include <exception>
#include <execinfo.h>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <typeinfo>
#include <unistd.h>

namespace tessaly {

namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr int kMaxFrames = 64;
constexpr size_t kFactLength = 128;

// A directory descriptor that closes itself; the one the handlers write into stays open for the
// life of the process so that a crash needs no path and no allocation to find its folder.
class FolderDescriptor {
public:
    FolderDescriptor() = default;
    explicit FolderDescriptor(int fd)
        : m_fd(fd) {}
    FolderDescriptor(const FolderDescriptor&) = delete;
    FolderDescriptor& operator=(const FolderDescriptor&) = delete;
    ~FolderDescriptor() { reset(-1); }
    int get() const { return m_fd.load(); }
    void reset(int fd) {
        const int old = m_fd.exchange(fd);
        if (old >= 0) {
            ::close(old);
        }
    }

private:
    std::atomic<int> m_fd{-1};
};

// Everything a handler reads is prepared at install time in fixed storage.
struct ReporterState {
    FolderDescriptor folder;
    char version[kFactLength] = {};
    char role[kFactLength] = {};
    // The thread that is writing (or has written) this process's report; 0 while none is.
    std::atomic<long> reportingThread{0};
    std::terminate_handler previousTerminate = nullptr;
    std::unique_ptr<char[]> alternateStack;
    bool installed = false;
};

ReporterState& state() {
    static ReporterState instance;
    return instance;
}

void copyFact(char (&target)[kFactLength], const QString& text) {
    const QByteArray bytes = text.toUtf8();
    const size_t length = std::min(static_cast<size_t>(bytes.size()), kFactLength - 1);
    std::memcpy(target, bytes.constData(), length);
    target[length] = '\0';
}

// --- Used inside the handlers: async-signal-safe calls and plain arithmetic only. ---

size_t textLength(const char* text) {
    size_t length = 0;
    while (text[length] != '\0') {
        ++length;
    }
    return length;
}

// Appends to a fixed buffer; what does not fit is cut.
struct LineBuffer {
    char data[512];
    size_t used = 0;

    void text(const char* piece) {
        while (*piece != '\0' && used + 1 < sizeof(data)) {
            data[used++] = *piece++;
        }
        data[used] = '\0';
    }
    void number(unsigned long long value, int width = 0, int base = 10) {
        char digits[32];
        int count = 0;
        do {
            const int digit = static_cast<int>(value % static_cast<unsigned>(base));
            digits[count++] = static_cast<char>(digit < 10 ? '0' + digit : 'a' + digit - 10);
            value /= static_cast<unsigned>(base);
        } while (value != 0 && count < 31);
        while (count < width && count < 31) {
            digits[count++] = '0';
        }
        char reversed[33];
        for (int i = 0; i < count; ++i) {
            reversed[i] = digits[count - 1 - i];
        }
        reversed[count] = '\0';
        text(reversed);
    }
};

// Writes everything or stops at the first failure: a report half written is still worth
// keeping, and there is no one to tell from inside a crash.
struct ReportWriter {
    int fd;
    bool ok = true;

    void bytes(const char* data, size_t length) {
        while (ok && length > 0) {
            const ssize_t written = ::write(fd, data, length);
            if (written < 0 && errno == EINTR) {
                continue;
            }
            if (written <= 0) {
                ok = false;
                return;
            }
            data += written;
            length -= static_cast<size_t>(written);
        }
    }
    void text(const char* piece) { bytes(piece, textLength(piece)); }
    void line(const LineBuffer& buffer) {
        bytes(buffer.data, buffer.used);
        text("\n");
    }
};

struct CivilTime {
    long long year;
    unsigned month, day, hour, minute, second;
};

// Days since 1970 to a proleptic Gregorian date (H. Hinnant's civil_from_days): gmtime_r is
// not safe in a signal handler.
CivilTime civilTime(long long seconds) {
    long long days = seconds / 86400;
    long long rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned shiftedMonth = (5 * dayOfYear + 2) / 153;
    CivilTime time{};
    time.day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
    time.month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
    time.year = static_cast<long long>(yearOfEra) + era * 400 + (time.month <= 2 ? 1 : 0);
    time.hour = static_cast<unsigned>(rest / 3600);
    time.minute = static_cast<unsigned>(rest % 3600 / 60);
    time.second = static_cast<unsigned>(rest % 60);
    return time;
}

void appendTime(LineBuffer& buffer, const CivilTime& time, bool compact) {
    buffer.number(static_cast<unsigned long long>(time.year), 4);
    if (!compact) {
        buffer.text("-");
    }
    buffer.number(time.month, 2);
    if (!compact) {
        buffer.text("-");
    }
    buffer.number(time.day, 2);
    buffer.text("T");
    buffer.number(time.hour, 2);
    if (!compact) {
        buffer.text(":");
    }
    buffer.number(time.minute, 2);
    if (!compact) {
        buffer.text(":");
    }
    buffer.number(time.second, 2);
    buffer.text("Z");
}

const char* signalName(int signal) {
    switch (signal) {
    case SIGSEGV:
        return "SIGSEGV (invalid memory access)";
    case SIGBUS:
        return "SIGBUS (bus error)";
    case SIGFPE:
        return "SIGFPE (arithmetic error)";
    case SIGILL:
        return "SIGILL (illegal instruction)";
    case SIGABRT:
        return "SIGABRT (aborted)";
    default:
        return "unknown signal";
    }
}

long currentThread() {
    return static_cast<long>(::syscall(SYS_gettid));
}

// Claims the one report this process writes. False when a report is already under way: on
// this thread (a crash inside the reporter, or the abort that follows an uncaught exception)
// the caller lets the process die at once; on another thread it waits for the first to end it.
bool claimReport() {
    long expected = 0;
    const long self = currentThread();
    if (state().reportingThread.compare_exchange_strong(expected, self)) {
        return true;
    }
    if (expected == self) {
        return false;
    }
    while (true) {
        ::pause();
    }
}

int openReportFile(int folder, const CivilTime& now) {
    for (unsigned attempt = 1; attempt < 100; ++attempt) {
        LineBuffer name;
        name.text("crash-");
        appendTime(name, now, true);
        name.text("-");
        name.number(static_cast<unsigned long long>(::getpid()));
        if (attempt > 1) {
            name.text("-");
            name.number(attempt);
        }
        name.text(".txt");
        const int fd =
            ::openat(folder, name.data, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return -1;
}

// One report: `signal` and `address` for a fatal signal, `exception` for an uncaught exception.
void writeReport(int signal, const void* address, const char* exception) {
    ReporterState& reporter = state();
    const int folder = reporter.folder.get();
    if (folder < 0) {
        return;
    }
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const CivilTime time = civilTime(static_cast<long long>(now.tv_sec));
    const int fd = openReportFile(folder, time);
    if (fd < 0) {
        return;
    }
    ReportWriter out{fd};
    out.text("Tessaly crash report\n");
    LineBuffer line;
    line.text("time: ");
    appendTime(line, time, false);
    out.line(line);
    line = {};
    line.text("version: ");
    line.text(reporter.version);
    out.line(line);
    line = {};
    line.text("process: ");
    line.text(reporter.role);
    line.text(", pid ");
    line.number(static_cast<unsigned long long>(::getpid()));
    out.line(line);
    if (exception != nullptr) {
        out.text("uncaught exception: ");
        out.text(exception);
        out.text("\n");
    } else {
        line = {};
        line.text("signal: ");
        line.number(static_cast<unsigned long long>(signal));
        line.text(" ");
        line.text(signalName(signal));
        if (address != nullptr && (signal == SIGSEGV || signal == SIGBUS)) {
            line.text(" at 0x");
            line.number(reinterpret_cast<uintptr_t>(address), 0, 16);
        }
        out.line(line);
    }
    out.text("backtrace:\n");
    void* frames[kMaxFrames];
    const int count = ::backtrace(frames, kMaxFrames);
    if (out.ok) {
        ::backtrace_symbols_fd(frames, count, fd);
    }
    ::close(fd);
}

void dieBySignal(int signal) {
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    ::sigaction(signal, &fallback, nullptr);
    // Blocked while the handler runs, so it arrives (with the default action) as it returns.
    ::raise(signal);
}

void onFatalSignal(int signal, siginfo_t* info, void*) {
    const int savedErrno = errno;
    if (claimReport()) {
        writeReport(signal, info != nullptr ? info->si_addr : nullptr, nullptr);
    }
    dieBySignal(signal);
    errno = savedErrno;
}

// --- The terminate handler runs outside a signal: it may allocate to describe the exception.

std::string describeCurrentException() {
    const std::exception_ptr current = std::current_exception();
    if (!current) {
        return "terminate called without an active exception";
    }
    std::string type = "unknown type";
    if (const std::type_info* info = abi::__cxa_current_exception_type()) {
        int status = -1;
        std::unique_ptr<char, decltype(&std::free)> demangled(
            abi::__cxa_demangle(info->name(), nullptr, nullptr, &status), &std::free);
        type = status == 0 && demangled ? demangled.get() : info->name();
    }
    try {
        std::rethrow_exception(current);
    } catch (const std::exception& exception) {
        return type + ": " + exception.what();
    } catch (...) {
        return type;
    }
}

[[noreturn]] void onTerminate() {
    if (claimReport()) {
        const std::string text = describeCurrentException();
        writeReport(0, nullptr, text.c_str());
    }
    // The default handler names the exception on stderr and aborts; the abort's signal finds
    // the report claimed and only ends the process.
    if (state().previousTerminate != nullptr) {
        state().previousTerminate();
    }
    std::abort();
}

bool makePrivateFolder(const QString& path, int* fd, QString* error) {
    const QString absolute = QDir::cleanPath(QDir(path).absolutePath());
    // Folders this makes are private from the start; existing ones above it are left as they
    // are, and only the reports' own folder is made private if it already existed.
    QString prefix;
    for (const QString& part : absolute.split(u'/', Qt::SkipEmptyParts)) {
        prefix += u'/' + part;
        if (::mkdir(QFile::encodeName(prefix).constData(), 0700) != 0 && errno != EEXIST) {
            *error = QStringLiteral("cannot make %1: %2")
                         .arg(prefix, QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
    }
    const int opened = ::open(QFile::encodeName(absolute).constData(),
                              O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (opened < 0) {
        *error = QStringLiteral("cannot open %1: %2")
                     .arg(absolute, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    struct stat info {};
    if (::fstat(opened, &info) != 0 || info.st_uid != ::getuid() || ::fchmod(opened, 0700) != 0) {
        *error = QStringLiteral("%1 is not a private folder of this user").arg(absolute);
        ::close(opened);
        return false;
    }
    *fd = opened;
    return true;
}

bool installAlternateStack(ReporterState& reporter, QString* error) {
    // Room for the handler and the unwinder even when the crash was a stack overflow.
    const size_t size = std::max<size_t>(static_cast<size_t>(SIGSTKSZ), 64 * 1024);
    auto memory = std::make_unique<char[]>(size);
    stack_t stack{};
    stack.ss_sp = memory.get();
    stack.ss_size = size;
    if (::sigaltstack(&stack, nullptr) != 0) {
        *error = QStringLiteral("cannot set the signal stack: %1")
                     .arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    reporter.alternateStack = std::move(memory);
    return true;
}

} // namespace

QString CrashReporter::defaultFolder() {
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base)) {
        base = QDir::homePath() + QStringLiteral("/.local/state");
    }
    return base + QStringLiteral("/tessaly/crashes");
}

bool CrashReporter::installIfAllowed(const PreferenceStore& store, const Setup& setup,
                                     QString* error) {
    if (!store.boolValue(prefkeys::crashReportsAllowed)) {
        return true;
    }
    return install(setup, error);
}

bool CrashReporter::install(const Setup& setup, QString* error) {
    ReporterState& reporter = state();
    int folder = -1;
    if (!makePrivateFolder(setup.folder, &folder, error)) {
        return false;
    }
    reporter.folder.reset(folder);
    copyFact(reporter.version, setup.version);
    copyFact(reporter.role, setup.role == Role::RenderBox ? QStringLiteral("render box")
                                                          : QStringLiteral("main application"));
    if (reporter.installed) {
        return true;
    }
    if (!reporter.alternateStack && !installAlternateStack(reporter, error)) {
        return false;
    }
    // The first backtrace loads the unwinder, which would otherwise allocate inside a handler.
    void* warmUp[2];
    (void)::backtrace(warmUp, 2);

    struct sigaction action {};
    action.sa_sigaction = onFatalSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (const int signal : kFatalSignals) {
        if (::sigaction(signal, &action, nullptr) != 0) {
            *error = QStringLiteral("cannot handle signal %1: %2")
                         .arg(signal)
                         .arg(QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
    }
    reporter.previousTerminate = std::set_terminate(onTerminate);
    reporter.installed = true;
    return true;
}

bool CrashReporter::isInstalled() {
    return state().installed;
}

void CrashReporter::withdraw() {
    // The handlers stay; without a folder they write nothing.
    state().folder.reset(-1);
}

bool shouldAskAboutCrashReports(const PreferenceStore& store, bool renderBox) {
    if (renderBox) {
        return false;
    }
    if (store.boolValue(prefkeys::crashReportsAsked) ||
        store.boolValue(prefkeys::crashReportsAllowed)) {
        return false;
    }
    return store.integerValue(prefkeys::launchCount) >= 3;
}

void recordCrashReportAnswer(PreferenceStore& store, bool allowed) {
    store.setValue(prefkeys::crashReportsAsked, true);
    store.setValue(prefkeys::crashReportsAllowed, allowed);
}

} // namespace tessaly
