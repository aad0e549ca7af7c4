#pragma once

#include <QHash>
#include <QString>

namespace tessaly {

// MailCore-style templates: "{{NAME}}" is replaced by the value of NAME (already HTML); a
// section "{{#NAME}}...{{/NAME}}" is kept when NAME has a non-empty value and dropped otherwise.
// Unknown placeholders become empty. Values are inserted once, never expanded again.
QString fillTemplate(const QString& templ, const QHash<QString, QString>& values);

// Escapes text for HTML: & " ' > < in that order.
QString escapeHtml(const QString& text);

} // namespace tessaly
