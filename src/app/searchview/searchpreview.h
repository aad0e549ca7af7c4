#pragma once

#include <QDialog>

class QPdfDocument;

namespace tessaly {

class SearchItem;

// A quick look at one search result, window-modal over the view: a PDF's pages, an image
// scaled to fit, or for anything else its icon and name. Space or Escape closes it.
class SearchPreview : public QDialog {
    Q_OBJECT

public:
    SearchPreview(const SearchItem& item, const QIcon& icon, QWidget* parent);

    // What is shown: "pdf", "image" or "icon".
    const QString& presentation() const { return m_presentation; }

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    QString m_presentation;
    QPdfDocument* m_document = nullptr;
};

} // namespace tessaly
