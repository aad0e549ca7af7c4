#pragma once

namespace tessaly {

// Decides when a laid-out message page is complete enough to print. The page is asked again
// whenever something happens to it (its load finished, a resource it waited for arrived) and on
// a short fallback tick; the time bounds below only matter for slow or broken pages.
class ReadinessPolicy {
public:
    // A page not ready by then is laid out and loaded once more.
    static constexpr double kReloadAfterSeconds = 40;
    // A reloaded page gets this long (from the first load) before it may print.
    static constexpr double kReloadGraceSeconds = 50;
    // Images and parts still being answered are waited for this long, then printed without.
    static constexpr double kResourceWaitSeconds = 80;
    // A page that reports it is still loading is waited for this long.
    static constexpr double kLoadingWaitSeconds = 24;
    // The whole message is given up after this long.
    static constexpr double kGiveUpSeconds = 300;
    // A body this short has not been laid out yet (or is broken): never printed.
    static constexpr int kMinBodyLength = 200;
    // How often the page is asked when nothing happens to it.
    static constexpr int kFallbackTickMs = 250;

    enum class Step {
        Wait,    // not yet
        Reload,  // lay the message out and load it again, then wait
        AskBody, // ready as far as loading goes: print if the body is long enough
    };

    struct PageState {
        bool loading = false;
        bool resourcesPending = false;
    };

    // What to do `seconds` after the first load began. Counts the one reload it asks for.
    Step next(double seconds, PageState page);
    static bool bodyIsLongEnough(int length) { return length > kMinBodyLength; }

    int reloadCount() const { return m_reloadCount; }
    void reset() { m_reloadCount = 0; }

private:
    int m_reloadCount = 0;
};

} // namespace tessaly
