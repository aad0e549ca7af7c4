#include "render/readinesspolicy.h"

namespace tessaly {

ReadinessPolicy::Step ReadinessPolicy::next(double seconds, PageState page) {
    if (seconds < kReloadGraceSeconds && m_reloadCount > 0) {
        return Step::Wait;
    }
    if (seconds > kReloadAfterSeconds && m_reloadCount < 1) {
        ++m_reloadCount;
        return Step::Reload;
    }
    if (seconds < kResourceWaitSeconds && page.resourcesPending) {
        return Step::Wait;
    }
    if (seconds <= kLoadingWaitSeconds && page.loading) {
        return Step::Wait;
    }
    return Step::AskBody;
}

} // namespace tessaly
