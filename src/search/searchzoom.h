#pragma once

#include <QSize>
#include <QString>

namespace tessaly {

class PreferenceStore;

// How large the search grid draws its items: one number from 0 to 1, kept in the preferences,
// from which every cell takes its size, its title's height and its thumbnail's area.
class SearchZoom {
public:
    static constexpr double kDefaultState = 0.3333;
    // The preference that keeps the zoom between launches; a stored interface.
    static QString preferenceKey();

    // Clamped to 0..1; a value that is no number at all gives the default.
    explicit SearchZoom(double state = kDefaultState);
    static SearchZoom fromPreferences(const PreferenceStore& store);
    void store(PreferenceStore& store) const;

    double state() const { return m_state; }
    // max(100, state × 400) wide; (width − 100) × 250 / 300 + 200 high.
    double itemWidth() const;
    double itemHeight() const;
    // Long titles get less room as items grow: max(35, min(height × 0.5, 10000 / width)).
    double textHeight() const;
    // What is left above the title, less a gap of 5.
    double imageHeight() const;

    QSize itemSize() const;
    QSize imageSize() const;

    bool operator==(const SearchZoom&) const = default;

private:
    double m_state;
};

} // namespace tessaly
