#pragma once

#include <QList>
#include <QString>

namespace tessaly {

// One mailbox of an address field. An absent part is a null QString; an empty display name
// counts as absent, as it does for every mail client.
struct MCOAddress {
    QString displayName;
    QString mailbox;

    bool operator==(const MCOAddress&) const = default;
};

using MCOAddressList = QList<MCOAddress>;

} // namespace tessaly
