#include "veldbmanager.h"

// The destructor is the class's key function: it anchors the virtual table
// and type information in this library.
VELDBManager::~VELDBManager() = default;
