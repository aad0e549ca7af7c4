#pragma once

#include "app/searchview/searchplaces.h"

#include <QWidget>

class QHBoxLayout;

namespace tessaly {

// Where the selection lives, as a row of buttons from its archive root down: clicking one
// makes that folder the place searched.
class SearchPathBar : public QWidget {
    Q_OBJECT

public:
    explicit SearchPathBar(QWidget* parent = nullptr);

    // Shows `path`; hides the bar when it is empty.
    void setPath(const QString& path, const SearchPlaces::Roots& roots);
    const QString& path() const { return m_path; }

Q_SIGNALS:
    void folderClicked(const QString& folder);

private:
    QHBoxLayout* m_layout;
    QString m_path;
};

} // namespace tessaly
