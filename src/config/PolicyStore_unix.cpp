#include "PolicyStore.h"

namespace PolicyStore {

Value read(Scope, const QString &)
{
    return Value();
}

} // namespace PolicyStore
