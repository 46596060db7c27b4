// The steps that every entry point takes first, in this order and once.
#pragma once

// False, after saying so, when the adapter library is older than 3.0.2.
bool LibraryVersionSupported();

enum class Inventory { Taken, NoAdapters, NoMemory };
// Discovery and the installed firmware of every adapter.
Inventory TakeInventory();
