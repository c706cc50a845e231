// The command line's pictures as a module of their own (fazorn-pictures.so),
// which fazorn-cli loads with dlopen only when a picture is asked for: the
// Qt and QCustomPlot libraries it needs are then mapped by that command
// alone, and every other command starts without them (most of a small
// run's time went to loading and relocating them).
//
// The module and the program exchange C++ objects (the Workspace, strings,
// the writer), so both must come from the same build: the program compares
// the module's build key with its own before using anything else of it.
// Qt-free, like chart_export.h.
#pragma once

#include <memory>
#include <string>

#include "core/workspace.h"
#include "ui/chart_export.h"

namespace fazorn::ui {

// The module's file name and its one exported symbol, a function of C
// linkage returning the PictureModule.
inline constexpr const char* kPictureModuleFile = "fazorn-pictures.so";
inline constexpr const char* kPictureModuleEntry = "fazornPictureModule";

struct PictureModule {
  const char* buildKey;                           // pictureModuleBuildKey() of the module's build
  bool (*formatAvailable)(PictureFormat format);  // pictureFormatAvailable
  std::unique_ptr<StarPictureWriter> (*makeWriter)();  // makeStarPictureWriter
};

using PictureModuleEntry = const PictureModule* (*)();

// The version (FAZORN_PICTURE_BUILD_KEY, set by the build on both sides),
// the compiler and the sizes of the types passed between the two: a module
// of another version or compiler is refused rather than handed objects of
// another layout.
inline std::string pictureModuleBuildKey() {
#ifdef FAZORN_PICTURE_BUILD_KEY
  std::string key = FAZORN_PICTURE_BUILD_KEY;
#else
  std::string key = "unversioned";
#endif
  key += " / " __VERSION__;
  key += " / " + std::to_string(sizeof(Workspace)) + " " + std::to_string(sizeof(StarPictureText)) +
         " " + std::to_string(sizeof(std::string));
  return key;
}

}  // namespace fazorn::ui
