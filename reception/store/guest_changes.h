// One hook told after every committed change to the guests (announced,
// delivered, acknowledged, withdrawn, reassigned), so that live views can
// re-read them. It must return at once: it runs on the writing thread.
#pragma once

#include "store/database.h"

using GuestsChangedHook = void (*)();

// Sets the hook; nullptr for none. Before the server starts.
void setGuestsChangedHook(GuestsChangedHook hook);
// Called by the store's writes after their commit.
void guestsChanged();
// Passes a guest write's commit outcome on, telling the hook when it is ok.
Outcome guestsCommitted(Outcome committed);
