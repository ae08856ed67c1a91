#pragma once
// Everything the host SDK offers is exported from its shared library; the plugin module hides
// everything of its own.
#define SDK_API __attribute__((visibility("default")))
