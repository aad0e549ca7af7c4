#pragma once

#include <QJsonObject>
#include <QStringList>

namespace tessaly {

// How this process was started: as the desktop application, or as a render box, which is the
// same executable started with "--jsonArgs" and a JSON object.
struct LaunchMode {
    bool renderBox = false;
    // The box's options; empty when the JSON text was malformed (the box then does no work).
    QJsonObject renderBoxOptions;

    static LaunchMode fromArguments(const QStringList& arguments);
};

// Parses a JSON object; malformed text gives an empty object and one log line.
QJsonObject dictFromJSONString(const QString& text);

} // namespace tessaly
