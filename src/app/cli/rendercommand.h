#pragma once

#include <QStringList>
#include <QTextStream>

namespace tessaly {

class MessageWebView;
class PreferenceStore;

// `tessaly-cli render [--options FILE] MESSAGE...`: renders each message with one engine in
// this process and prints "PATH<TAB>made|skipped|eml-only|failed<TAB>PDF" per message and a
// summary line. Needs a running QApplication (the page is laid out in a view). Returns the exit
// status: 0 when nothing failed, 2 when some message failed, 1 on an error of use.
int runRenderCommand(const QStringList& arguments, PreferenceStore& store, MessageWebView& view,
                     QTextStream& out, QTextStream& err);

} // namespace tessaly
