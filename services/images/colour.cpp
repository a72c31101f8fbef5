// The colour conversion of decoded pictures with lcms, through libvips' ICC transform.
#include "colour.h"

#include <vips/vips.h>

namespace mirelo::services::images {
namespace {

bool isGrey(VipsInterpretation type) { return type == VIPS_INTERPRETATION_B_W || type == VIPS_INTERPRETATION_GREY16; }

// Decoded now, into memory of its own, without the profile.
Image untagged(OwnedVips image) {
  VipsImage* copy = nullptr;
  if (vips_copy(image.get(), &copy, nullptr)) {
    clearVipsError();
    return {};
  }
  OwnedVips copied(copy);
  vips_image_remove(copied.get(), VIPS_META_ICC_NAME);
  VipsImage* memory = vips_image_copy_memory(copied.get());
  if (!memory) clearVipsError();
  return Image(memory);
}

OwnedVips referenced(const Image& image) {
  g_object_ref(image.get());
  return OwnedVips(image.get());
}

}  // namespace

Image inSrgb(const Image& decoded) {
  VipsImage* in = decoded.get();
  const bool tagged = vips_image_get_typeof(in, VIPS_META_ICC_NAME) != 0;
  const VipsInterpretation type = vips_image_guess_interpretation(in);
  const bool cmyk = type == VIPS_INTERPRETATION_CMYK;
  if (!tagged && !cmyk) return decoded;
  OwnedVips current = referenced(decoded);
  if (!isGrey(type)) {
    const int depth = vips_image_get_format(in) == VIPS_FORMAT_USHORT ? 16 : 8;
    const bool converted = applyStep(current, [&](VipsImage* image, VipsImage** out) {
      return vips_icc_transform(image, out, "srgb", "embedded", TRUE, "input_profile", cmyk ? "cmyk" : "srgb", "intent",
                                VIPS_INTENT_RELATIVE, "depth", depth, nullptr);
    });
    if (!converted && cmyk) {
      applyStep(current, [](VipsImage* image, VipsImage** out) {
        return vips_colourspace(image, out, VIPS_INTERPRETATION_sRGB, nullptr);
      });
    }
  }
  Image result = untagged(std::move(current));
  return result ? result : decoded;
}

}  // namespace mirelo::services::images
