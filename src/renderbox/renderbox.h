#pragma once

#include "render/joboptions.h"

#include <QJsonObject>
#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>

namespace tessaly {

class LocalRenderEngine;
class MessageWebView;
class NotificationCenter;

struct RenderBoxTiming {
    int doneCheckMs = 100;
    int autoQuitMs = 100'000;
};

// The render box's side: waits for job files in its folder, renders each with one local engine,
// reports it done, and quits when told to or after 100 to 200 s without work. It never shows a
// window or a dialog: a problem that needs the user goes to the application as a notification.
class RenderBox : public QObject {
    Q_OBJECT

public:
    using Timing = RenderBoxTiming;
    using ViewFactory = std::function<std::unique_ptr<MessageWebView>()>;

    RenderBox(QJsonObject launchOptions, NotificationCenter* center, ViewFactory makeView,
              Timing timing = {}, QObject* parent = nullptr);
    ~RenderBox() override;

    // Starts listening; false when the launch options name no box (the box then does nothing).
    bool startListeningAsRenderbox();

    const QString& renderboxID() const { return m_id; }

Q_SIGNALS:
    void quitRequested();

private:
    void onNotification(const QString& name, const QString& object);
    void renderboxRender();
    void checkForCurrentRenderDone();
    void answerUnreadable(const QString& jobFile, const QString& jobId, const QString& reason);
    void autoQuit();
    QString findNextJob() const;
    void makeEngineFor(const QJsonObject& job);

    QJsonObject m_launchOptions;
    NotificationCenter* m_center;
    ViewFactory m_makeView;
    QString m_id;
    QString m_folder;
    QString m_token;
    QTimer m_doneCheck;
    QTimer m_autoQuit;
    bool m_gotJob = false;
    QString m_currentJobFile;
    QString m_currentMessageFile;
    QString m_currentJobId;
    std::unique_ptr<MessageWebView> m_view;
    std::unique_ptr<LocalRenderEngine> m_engine;
    QJsonObject m_engineOptions; // the job options the engine was made with
};

} // namespace tessaly
