// Start-up.
#pragma once
namespace app {}
