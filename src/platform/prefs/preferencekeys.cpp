#include "platform/prefs/preferencekeys.h"

namespace tessaly::prefkeys {

#ifndef TESSALY_UPDATE_FEED_URL
#define TESSALY_UPDATE_FEED_URL ""
#endif

QString updateFeedURLValue() {
    return QStringLiteral(TESSALY_UPDATE_FEED_URL);
}

std::span<const RegisteredDefault> registeredDefaults() {
    static const RegisteredDefault table[] = {
        {hoursBetweenUpdates, QStringLiteral("24")},
        {useWindowsFriendlyFilenames, true},
        {includeTinyHeaderText, true},
        {loadRemoteImages, true},
        {maxNumRenderJobs, 1},
        {updateFeedURL, updateFeedURLValue()},
    };
    return table;
}

} // namespace tessaly::prefkeys
