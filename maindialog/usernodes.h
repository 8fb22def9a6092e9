// Recomputes which catalog nodes each user may see (USERNODE).
#pragma once
namespace usernodes {}
