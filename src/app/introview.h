#pragma once

#include <QWidget>

class QLabel;
class QPushButton;

namespace tessaly {

// What a new user sees first: where archives will go, and what to archive, each with the
// button that does it. Its steps follow the stored settings.
class IntroView : public QWidget {
    Q_OBJECT

public:
    explicit IntroView(QWidget* parent = nullptr);

    // Which steps are done: a destination folder ("" for none), and whether any account or
    // folder source exists.
    void setProgress(const QString& destination, bool hasSources);

Q_SIGNALS:
    void chooseDestinationRequested();
    void addAccountRequested();
    void addFolderRequested();
    void openFilesRequested();

private:
    QLabel* m_destinationState;
    QPushButton* m_chooseDestination;
    QLabel* m_sourcesState;
};

} // namespace tessaly
