#include "archive/jobscheduler.h"

#include "archive/archivelog.h"
#include "platform/clock/clock.h"
#include "platform/power/sleepinhibitor.h"
#include "platform/prefs/preferencekeys.h"
#include "platform/prefs/preferencestore.h"

#include <algorithm>

namespace tessaly {

JobScheduler::JobScheduler(PreferenceStore* store, std::function<bool()> busy, Clock& clock,
                           QObject* parent)
    : QObject(parent)
    , m_store(store)
    , m_busy(std::move(busy))
    , m_autoJobTimer(clock.timer([this] { Q_EMIT autoJobsDue(); }))
    , m_sleepCheck(clock.timer([this] { keepComputerFromSleepingIfBusy(); }))
    , m_sleepInhibitor(new SleepInhibitor(QStringLiteral("Tessaly"),
                                          QStringLiteral("Tessaly busy archiving Email"), this)) {
    connect(m_sleepInhibitor, &SleepInhibitor::acquired, this, [this] {
        m_preventSleepAssertionID = static_cast<quint32>(m_sleepInhibitor->descriptor());
        if (!m_busy()) {
            keepComputerFromSleepingIfBusy(); // the jobs ended meanwhile
        }
    });
    connect(m_sleepInhibitor, &SleepInhibitor::failed, this, [this](const QString& reason) {
        qCInfo(lcArchive).noquote() << "cannot keep the computer awake while archiving:" << reason;
        m_preventSleepAssertionID = kNoSleepPrevention;
    });
    m_sleepCheck->startEvery(kSleepCheckMs);
}

JobScheduler::~JobScheduler() = default;

void JobScheduler::keepComputerFromSleepingIfBusy() {
    const bool busy = m_busy();
    if (busy && m_preventSleepAssertionID == 0) {
        m_sleepInhibitor->acquire();
    } else if (!busy && m_preventSleepAssertionID != 0 &&
               m_preventSleepAssertionID != kNoSleepPrevention) {
        m_sleepInhibitor->release();
        m_preventSleepAssertionID = 0;
    }
}

std::optional<int> JobScheduler::autoJobIntervalSeconds(const QVariant& hoursBetweenUpdates) {
    bool ok = false;
    const double hours = hoursBetweenUpdates.toString().trimmed().toDouble(&ok);
    const double seconds = ok ? hours * 3600 : 0;
    if (seconds == 0) {
        return std::nullopt;
    }
    return static_cast<int>(std::clamp<double>(seconds, kMinAutoSeconds, kMaxAutoSeconds));
}

void JobScheduler::startAutoJobTimer() {
    const std::optional<int> seconds =
        autoJobIntervalSeconds(m_store->value(prefkeys::hoursBetweenUpdates));
    if (!seconds) {
        return;
    }
    if (m_autoJobSeconds != *seconds) {
        m_autoJobSeconds = *seconds;
        m_autoJobTimer->startEvery(qint64(m_autoJobSeconds) * 1000);
    }
}

} // namespace tessaly
