#include "app/launchmode.h"

#include "renderbox/boxprotocol.h"

#include <QJsonDocument>
#include <QLoggingCategory>

namespace tessaly {

namespace {
Q_LOGGING_CATEGORY(lcLaunch, "tessaly.launch", QtWarningMsg)
}

QJsonObject dictFromJSONString(const QString& text) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        qCWarning(lcLaunch).noquote() << "dictFromJSONString failed:" << error.errorString();
        return {};
    }
    return document.object();
}

LaunchMode LaunchMode::fromArguments(const QStringList& arguments) {
    LaunchMode mode;
    const qsizetype index = arguments.indexOf(boxprotocol::launchFlag);
    if (index < 0) {
        return mode;
    }
    mode.renderBox = true;
    if (index + 1 < arguments.size()) {
        mode.renderBoxOptions = dictFromJSONString(arguments[index + 1]);
    }
    return mode;
}

} // namespace tessaly
