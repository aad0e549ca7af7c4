#include "app/searchview/searchpreview.h"

#include "search/searchitem.h"

#include <QFileInfo>
#include <QIcon>
#include <QImageReader>
#include <QKeyEvent>
#include <QLabel>
#include <QPdfDocument>
#include <QPdfView>
#include <QVBoxLayout>

namespace tessaly {

SearchPreview::SearchPreview(const SearchItem& item, const QIcon& icon, QWidget* parent)
    : QDialog(parent) {
    setWindowModality(Qt::WindowModal);
    setWindowTitle(item.fullTitle());
    setAccessibleName(tr("Preview"));
    setAttribute(Qt::WA_DeleteOnClose);
    auto* layout = new QVBoxLayout(this);
    const QSize available = parent ? parent->window()->size() * 0.85 : QSize(900, 700);
    resize(available.expandedTo(QSize(400, 300)));

    const QString path = item.path();
    if (QFileInfo(path).suffix().compare(u"pdf", Qt::CaseInsensitive) == 0) {
        m_document = new QPdfDocument(this);
        if (m_document->load(path) == QPdfDocument::Error::None) {
            auto* view = new QPdfView(this);
            view->setDocument(m_document);
            view->setPageMode(QPdfView::PageMode::MultiPage);
            view->setZoomMode(QPdfView::ZoomMode::FitToWidth);
            // Keys stay with the dialog, so Space closes it rather than scrolling.
            view->setFocusPolicy(Qt::NoFocus);
            layout->addWidget(view);
            m_presentation = QStringLiteral("pdf");
        }
    }
    if (m_presentation.isEmpty()) {
        QImageReader reader(path);
        reader.setAutoTransform(true);
        const QImage image = QFileInfo(path).isFile() ? reader.read() : QImage();
        auto* label = new QLabel(this);
        label->setAlignment(Qt::AlignCenter);
        if (!image.isNull()) {
            const QSize room = size() - QSize(40, 40);
            label->setPixmap(QPixmap::fromImage(
                image.size().boundedTo(room) == image.size()
                    ? image
                    : image.scaled(room, Qt::KeepAspectRatio, Qt::SmoothTransformation)));
            m_presentation = QStringLiteral("image");
        } else {
            label->setPixmap(icon.pixmap(128, 128));
            m_presentation = QStringLiteral("icon");
        }
        layout->addWidget(label, 1);
        if (m_presentation == u"icon") {
            auto* name = new QLabel(QFileInfo(path).fileName(), this);
            name->setAlignment(Qt::AlignCenter);
            name->setWordWrap(true);
            layout->addWidget(name);
        }
    }
    setFocusPolicy(Qt::StrongFocus);
}

void SearchPreview::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Space || event->key() == Qt::Key_Escape) {
        event->accept();
        reject();
        return;
    }
    QDialog::keyPressEvent(event);
}

} // namespace tessaly
