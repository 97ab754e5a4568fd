#include "app/console.h"

namespace batch::console {

Events& events()
{
    static Events caught;
    return caught;
}

void forgetEvents()
{
    events().interrupts = 0;
    events().terminated = 0;
    events().suspended = 0;
}

} // namespace batch::console
