#pragma once

#include <QString>

namespace tessaly {

// Text as the search compares it when case and diacritics are to be ignored: canonically
// decomposed, combining marks dropped, case-folded ("München" and "MUNCHEN" both fold to
// "munchen"). What the index stores in its folded columns and what a term is folded to before
// it is looked up, so both sides always agree.
QString foldForSearch(const QString& text);

} // namespace tessaly
