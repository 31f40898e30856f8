#include "keying/CodeTable.h"

#include <algorithm>

namespace quindle {

int listedCodeCount()
{
    return int(std::count_if(kCodeTable.begin(), kCodeTable.end(),
                             [](const CodeEntry& e) { return e.kind != CodeKind::Unlisted; }));
}

} // namespace quindle
