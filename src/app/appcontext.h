#pragma once

#include <QString>

#include <functional>

class QWidget;

namespace tessaly {

class ArchiveController;
class EmailSettings;
class PreferenceStore;

// What the views need of the running application. The application owns all of it and outlives
// every view; tests hand the views a context of their own.
class AppContext {
public:
    virtual ~AppContext() = default;

    virtual PreferenceStore& store() = 0;
    virtual EmailSettings& accounts() = 0;
    virtual ArchiveController& archiveController() = 0;

    // Starts archiving one source (an account address or a folder source's path) as the
    // row buttons and the panels' start buttons ask for it.
    virtual void startArchivingJob(const QString& source) = 0;
    // The general destination folder, or "" when none is known; with `allowedToAsk` the
    // destination chooser is shown then (and "" is still returned: the caller starts again).
    virtual QString destinationDirectory(bool allowedToAsk) = 0;
    virtual void chooseDestinationDirectory() = 0;
    // The path-format editor for an account key ("General" for the general formats), as a
    // window-modal dialog on `parent`.
    virtual void showPathFormatEditor(const QString& account, QWidget* parent) = 0;
    // A folder chooser, window-modal on `parent`: folders only, new folders allowed, one choice.
    // `chosen` is called with the folder's absolute path on OK and never on cancel.
    struct FolderRequest {
        QString title;       // e.g. "Choose Destination Folder"
        QString startFolder; // "" for the home folder
    };
    virtual void chooseFolder(QWidget* parent, const FolderRequest& request,
                              std::function<void(const QString& path)> chosen) = 0;
    // Short help on a topic ("imap", "password", "folder"), shown on `parent`.
    virtual void showHelp(const QString& topic, QWidget* parent) = 0;
};

} // namespace tessaly
