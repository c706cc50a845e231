// The entry point of fazorn-pictures.so (see picture_module.h); the rest of
// the module is the window's chart code, hidden from the program loading it.
#include "ui/picture_module.h"

namespace {

const std::string& buildKey() {
  static const std::string key = fazorn::ui::pictureModuleBuildKey();
  return key;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) const fazorn::ui::PictureModule*
fazornPictureModule() {
  static const fazorn::ui::PictureModule module{
      buildKey().c_str(), &fazorn::ui::pictureFormatAvailable, &fazorn::ui::makeStarPictureWriter};
  return &module;
}
