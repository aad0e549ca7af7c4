#include "app/searchview/searchpathbar.h"

#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QToolButton>

namespace tessaly {

SearchPathBar::SearchPathBar(QWidget* parent)
    : QWidget(parent)
    , m_layout(new QHBoxLayout(this)) {
    m_layout->setContentsMargins(0, 0, 0, 0);
    m_layout->setSpacing(2);
    setAccessibleName(tr("Location"));
    hide();
}

void SearchPathBar::setPath(const QString& path, const SearchPlaces::Roots& roots) {
    if (path == m_path && isVisibleTo(parentWidget()) == !path.isEmpty()) {
        return;
    }
    m_path = path;
    while (QLayoutItem* item = m_layout->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    setVisible(!path.isEmpty());
    if (path.isEmpty()) {
        return;
    }
    // "All Archives" is the Home button's job; the bar starts at the archive root.
    const QList<SearchPlaces::Place> chain = SearchPlaces::parentsAndPath(path, roots).mid(1);
    for (qsizetype i = 0; i < chain.size(); ++i) {
        if (i > 0) {
            m_layout->addWidget(new QLabel(QStringLiteral("›"), this));
        }
        const SearchPlaces::Place& place = chain.at(i);
        auto* button = new QToolButton(this);
        button->setText(place.title);
        button->setAutoRaise(true);
        button->setToolTip(place.path);
        const QString folder =
            QFileInfo(place.path).isDir() ? place.path : QFileInfo(place.path).absolutePath();
        connect(button, &QToolButton::clicked, this,
                [this, folder] { Q_EMIT folderClicked(folder); });
        m_layout->addWidget(button);
    }
    m_layout->addStretch(1);
}

} // namespace tessaly
