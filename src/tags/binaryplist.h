#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>

#include <optional>

namespace tessaly {

// Binary property lists (version 1.0) for the values tags and ratings are stored as: strings,
// booleans, numbers, dates and arrays of those.
std::optional<QByteArray> toBinaryPlist(const QVariant& value, QString* error = nullptr);
std::optional<QVariant> fromBinaryPlist(const QByteArray& bytes, QString* error = nullptr);

} // namespace tessaly
