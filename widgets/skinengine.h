#pragma once
#include <QString>

// The skin component of a window. It stays inactive; the show step gives it its file.
struct SkinEngineComponent {
    bool Active = false;
    QString SkinFile;
};
