#include "search/searchzoom.h"

#include "platform/prefs/preferencestore.h"

#include <algorithm>
#include <cmath>

namespace tessaly {

QString SearchZoom::preferenceKey() {
    return QStringLiteral("zoomState");
}

SearchZoom::SearchZoom(double state)
    : m_state(std::isfinite(state) ? std::clamp(state, 0.0, 1.0) : kDefaultState) {
}

SearchZoom SearchZoom::fromPreferences(const PreferenceStore& store) {
    return SearchZoom(store.doubleValue(preferenceKey(), kDefaultState));
}

void SearchZoom::store(PreferenceStore& store) const {
    store.setValue(preferenceKey(), m_state);
}

double SearchZoom::itemWidth() const {
    return std::max(100.0, m_state * 400);
}

double SearchZoom::itemHeight() const {
    return (itemWidth() - 100) * 250 / 300 + 200;
}

double SearchZoom::textHeight() const {
    return std::max(35.0, std::min(itemHeight() * 0.5, 10000 / itemWidth()));
}

double SearchZoom::imageHeight() const {
    return itemHeight() - textHeight() - 5;
}

QSize SearchZoom::itemSize() const {
    return QSize(int(std::lround(itemWidth())), int(std::lround(itemHeight())));
}

QSize SearchZoom::imageSize() const {
    return QSize(int(std::lround(itemWidth())), int(std::lround(imageHeight())));
}

} // namespace tessaly
