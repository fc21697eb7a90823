#include "ui/picture_decoders.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

// libjpeg's header needs FILE and size_t declared first.
#include <jpeglib.h>
#include <openjpeg.h>
#include <png.h>

namespace kanade {

namespace {

bool SizeAllowed(std::size_t width, std::size_t height) {
  return width > 0 && height > 0 && width <= kMaxPictureSide && height <= kMaxPictureSide &&
         width * height <= kMaxPicturePixels;
}

bool StartsWith(const std::uint8_t* data, std::size_t size, const unsigned char* sig,
                std::size_t sig_size) {
  return size >= sig_size && std::memcmp(data, sig, sig_size) == 0;
}

std::uint8_t Clamp8(int v) {
  return static_cast<std::uint8_t>(std::clamp(v, 0, 255));
}

// ---------------------------------------------------------------- JPEG ---

// Everything that changes after setjmp lives on the heap, so a longjmp back
// leaves no automatic variable in an indeterminate state.
struct JpegState {
  jpeg_decompress_struct cinfo{};
  jpeg_error_mgr errors{};
  std::jmp_buf jump{};
  DecodedPicture picture;
  std::vector<JSAMPLE> row;
};

[[noreturn]] void JpegErrorExit(j_common_ptr cinfo) {
  auto* state = static_cast<JpegState*>(cinfo->client_data);
  std::longjmp(state->jump, 1);
}

// libjpeg reports damaged data as warnings and fills the rest with grey;
// they are counted, and a picture with any is refused.
void JpegEmitMessage(j_common_ptr cinfo, int level) {
  if (level < 0) ++cinfo->err->num_warnings;
}

void JpegOutputMessage(j_common_ptr) {}

bool RunJpeg(JpegState& s, const std::uint8_t* data, std::size_t size) {
  s.cinfo.err = jpeg_std_error(&s.errors);
  s.errors.error_exit = JpegErrorExit;
  s.errors.emit_message = JpegEmitMessage;
  s.errors.output_message = JpegOutputMessage;
  // Set before creation, which keeps it, so that even that may fail safely.
  s.cinfo.client_data = &s;
  if (setjmp(s.jump)) return false;
  jpeg_create_decompress(&s.cinfo);
  jpeg_mem_src(&s.cinfo, data, static_cast<unsigned long>(size));
  if (jpeg_read_header(&s.cinfo, TRUE) != JPEG_HEADER_OK) return false;
  if (!SizeAllowed(s.cinfo.image_width, s.cinfo.image_height)) return false;

  const J_COLOR_SPACE in = s.cinfo.jpeg_color_space;
  const bool cmyk = in == JCS_CMYK || in == JCS_YCCK;
  const bool grey = in == JCS_GRAYSCALE;
  s.cinfo.out_color_space = cmyk ? JCS_CMYK : grey ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_start_decompress(&s.cinfo);
  const int width = static_cast<int>(s.cinfo.output_width);
  const int height = static_cast<int>(s.cinfo.output_height);
  const int channels = s.cinfo.output_components;
  if (!SizeAllowed(width, height) || (channels != 1 && channels != 3 && channels != 4)) {
    return false;
  }
  s.picture.width = width;
  s.picture.height = height;
  s.picture.rgb.resize(static_cast<std::size_t>(width) * height * 3);
  s.row.resize(static_cast<std::size_t>(width) * channels);
  while (s.cinfo.output_scanline < s.cinfo.output_height) {
    std::uint8_t* out =
        s.picture.rgb.data() + static_cast<std::size_t>(s.cinfo.output_scanline) * width * 3;
    JSAMPROW rows[1] = {s.row.data()};
    if (jpeg_read_scanlines(&s.cinfo, rows, 1) != 1) return false;
    for (int x = 0; x < width; ++x) {
      const JSAMPLE* p = s.row.data() + static_cast<std::size_t>(x) * channels;
      if (channels == 1) {
        out[0] = out[1] = out[2] = p[0];
      } else if (channels == 3) {
        out[0] = p[0];
        out[1] = p[1];
        out[2] = p[2];
      } else {
        // Adobe writes CMYK inverted: each value is already 255 - ink.
        out[0] = static_cast<std::uint8_t>(p[0] * p[3] / 255);
        out[1] = static_cast<std::uint8_t>(p[1] * p[3] / 255);
        out[2] = static_cast<std::uint8_t>(p[2] * p[3] / 255);
      }
      out += 3;
    }
  }
  jpeg_finish_decompress(&s.cinfo);
  return s.errors.num_warnings == 0;
}

std::optional<DecodedPicture> DecodeJpegBytes(const std::uint8_t* data, std::size_t size) {
  auto state = std::make_unique<JpegState>();
  const bool ok = RunJpeg(*state, data, size);
  jpeg_destroy_decompress(&state->cinfo);
  if (!ok) return std::nullopt;
  return std::move(state->picture);
}

// ----------------------------------------------------------------- PNG ---

struct PngState {
  png_structp png = nullptr;
  png_infop info = nullptr;
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  std::size_t offset = 0;
  DecodedPicture picture;
  std::vector<png_byte> pixels;
  std::vector<png_bytep> rows;
};

[[noreturn]] void PngError(png_structp png, png_const_charp) {
  png_longjmp(png, 1);
}

void PngWarning(png_structp, png_const_charp) {}

void PngRead(png_structp png, png_bytep out, png_size_t length) {
  auto* s = static_cast<PngState*>(png_get_io_ptr(png));
  if (length > s->size - s->offset) png_error(png, "truncated");
  std::memcpy(out, s->data + s->offset, length);
  s->offset += length;
}

bool RunPng(PngState& s) {
  if (setjmp(png_jmpbuf(s.png))) return false;
  png_set_read_fn(s.png, &s, PngRead);
  png_set_user_limits(s.png, kMaxPictureSide, kMaxPictureSide);
  png_read_info(s.png, s.info);
  const png_uint_32 width = png_get_image_width(s.png, s.info);
  const png_uint_32 height = png_get_image_height(s.png, s.info);
  if (!SizeAllowed(width, height)) return false;
  png_set_expand(s.png);
  png_set_strip_16(s.png);
  png_set_gray_to_rgb(s.png);
  png_set_interlace_handling(s.png);
  png_read_update_info(s.png, s.info);
  const int channels = png_get_channels(s.png, s.info);
  const std::size_t row_bytes = png_get_rowbytes(s.png, s.info);
  if ((channels != 3 && channels != 4) || row_bytes < std::size_t{width} * channels) return false;
  s.pixels.resize(row_bytes * height);
  s.rows.resize(height);
  for (png_uint_32 y = 0; y < height; ++y) s.rows[y] = s.pixels.data() + row_bytes * y;
  png_read_image(s.png, s.rows.data());
  png_read_end(s.png, nullptr);

  s.picture.width = static_cast<int>(width);
  s.picture.height = static_cast<int>(height);
  s.picture.rgb.resize(std::size_t{width} * height * 3);
  std::uint8_t* out = s.picture.rgb.data();
  for (png_uint_32 y = 0; y < height; ++y) {
    const png_byte* p = s.rows[y];
    for (png_uint_32 x = 0; x < width; ++x, p += channels, out += 3) {
      const int alpha = channels == 4 ? p[3] : 255;
      for (int c = 0; c < 3; ++c) out[c] = static_cast<std::uint8_t>(p[c] * alpha / 255);
    }
  }
  return true;
}

std::optional<DecodedPicture> DecodePngBytes(const std::uint8_t* data, std::size_t size) {
  auto state = std::make_unique<PngState>();
  state->data = data;
  state->size = size;
  state->png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, PngError, PngWarning);
  if (state->png == nullptr) return std::nullopt;
  state->info = png_create_info_struct(state->png);
  const bool ok = state->info != nullptr && RunPng(*state);
  png_destroy_read_struct(&state->png, &state->info, nullptr);
  if (!ok) return std::nullopt;
  return std::move(state->picture);
}

// ------------------------------------------------------------ JPEG 2000 ---

struct MemoryStream {
  const std::uint8_t* data = nullptr;
  OPJ_SIZE_T size = 0;
  OPJ_SIZE_T offset = 0;
};

OPJ_SIZE_T StreamRead(void* buffer, OPJ_SIZE_T bytes, void* user) {
  auto* m = static_cast<MemoryStream*>(user);
  const OPJ_SIZE_T left = m->size - m->offset;
  if (left == 0) return static_cast<OPJ_SIZE_T>(-1);
  const OPJ_SIZE_T n = std::min(bytes, left);
  std::memcpy(buffer, m->data + m->offset, n);
  m->offset += n;
  return n;
}

OPJ_OFF_T StreamSkip(OPJ_OFF_T bytes, void* user) {
  auto* m = static_cast<MemoryStream*>(user);
  if (bytes < 0) {
    const OPJ_SIZE_T back = std::min<OPJ_SIZE_T>(static_cast<OPJ_SIZE_T>(-bytes), m->offset);
    m->offset -= back;
    return -static_cast<OPJ_OFF_T>(back);
  }
  const OPJ_SIZE_T n = std::min<OPJ_SIZE_T>(static_cast<OPJ_SIZE_T>(bytes), m->size - m->offset);
  m->offset += n;
  return static_cast<OPJ_OFF_T>(n);
}

OPJ_BOOL StreamSeek(OPJ_OFF_T position, void* user) {
  auto* m = static_cast<MemoryStream*>(user);
  if (position < 0 || static_cast<OPJ_SIZE_T>(position) > m->size) return OPJ_FALSE;
  m->offset = static_cast<OPJ_SIZE_T>(position);
  return OPJ_TRUE;
}

void OpjQuiet(const char*, void*) {}

void OpjCountWarning(const char*, void* user) {
  ++*static_cast<int*>(user);
}

// Samples of any precision and sign scaled to 0..255.
int ComponentValue(const opj_image_comp_t& comp, int x, int y, int width, int height) {
  const int cx = static_cast<int>(static_cast<long long>(x) * comp.w / width);
  const int cy = static_cast<int>(static_cast<long long>(y) * comp.h / height);
  int v = comp.data[static_cast<std::size_t>(cy) * comp.w + cx];
  const int precision = static_cast<int>(comp.prec);
  if (comp.sgnd && precision > 0) v += 1 << (precision - 1);
  if (precision > 8) return v >> (precision - 8);
  if (precision < 8 && precision > 0) return v * 255 / ((1 << precision) - 1);
  return v;
}

bool ConvertJpeg2000(const opj_image_t& image, DecodedPicture& picture) {
  if (image.numcomps == 0 || image.comps == nullptr) return false;
  const opj_image_comp_t& first = image.comps[0];
  const int width = static_cast<int>(first.w);
  const int height = static_cast<int>(first.h);
  if (!SizeAllowed(first.w, first.h)) return false;
  const bool colour = image.numcomps >= 3;
  const int used = colour ? 3 : 1;
  for (int c = 0; c < used; ++c) {
    const opj_image_comp_t& comp = image.comps[c];
    if (comp.data == nullptr || comp.w == 0 || comp.h == 0 || comp.prec > 31) return false;
  }
  const bool ycc = colour && image.color_space == OPJ_CLRSPC_SYCC;
  picture.width = width;
  picture.height = height;
  picture.rgb.resize(static_cast<std::size_t>(width) * height * 3);
  std::uint8_t* out = picture.rgb.data();
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x, out += 3) {
      if (!colour) {
        out[0] = out[1] = out[2] = Clamp8(ComponentValue(first, x, y, width, height));
        continue;
      }
      const int a = ComponentValue(image.comps[0], x, y, width, height);
      const int b = ComponentValue(image.comps[1], x, y, width, height);
      const int c = ComponentValue(image.comps[2], x, y, width, height);
      if (ycc) {
        const double cb = b - 128.0;
        const double cr = c - 128.0;
        out[0] = Clamp8(static_cast<int>(a + 1.402 * cr + 0.5));
        out[1] = Clamp8(static_cast<int>(a - 0.344136 * cb - 0.714136 * cr + 0.5));
        out[2] = Clamp8(static_cast<int>(a + 1.772 * cb + 0.5));
      } else {
        out[0] = Clamp8(a);
        out[1] = Clamp8(b);
        out[2] = Clamp8(c);
      }
    }
  }
  return true;
}

std::optional<DecodedPicture> DecodeJpeg2000Bytes(const std::uint8_t* data, std::size_t size,
                                                  OPJ_CODEC_FORMAT format) {
  MemoryStream memory{data, size, 0};
  opj_stream_t* stream = opj_stream_create(OPJ_J2K_STREAM_CHUNK_SIZE, OPJ_TRUE);
  opj_codec_t* codec = opj_create_decompress(format);
  opj_image_t* image = nullptr;
  int warnings = 0;
  std::optional<DecodedPicture> result;
  if (stream != nullptr && codec != nullptr) {
    opj_stream_set_user_data(stream, &memory, nullptr);
    opj_stream_set_user_data_length(stream, size);
    opj_stream_set_read_function(stream, StreamRead);
    opj_stream_set_skip_function(stream, StreamSkip);
    opj_stream_set_seek_function(stream, StreamSeek);
    opj_set_info_handler(codec, OpjQuiet, nullptr);
    opj_set_warning_handler(codec, OpjCountWarning, &warnings);
    opj_set_error_handler(codec, OpjQuiet, nullptr);
    opj_dparameters_t parameters;
    opj_set_default_decoder_parameters(&parameters);
    // Strict: a truncated codestream is an error, not a half-grey picture.
    bool ok = opj_setup_decoder(codec, &parameters) &&
              opj_decoder_set_strict_mode(codec, OPJ_TRUE) &&
              opj_read_header(stream, codec, &image) && image != nullptr && image->x1 > image->x0 &&
              image->y1 > image->y0 && SizeAllowed(image->x1 - image->x0, image->y1 - image->y0) &&
              opj_decode(codec, stream, image) && opj_end_decompress(codec, stream);
    DecodedPicture picture;
    if (ok && warnings == 0 && ConvertJpeg2000(*image, picture)) result = std::move(picture);
  }
  if (image != nullptr) opj_image_destroy(image);
  if (codec != nullptr) opj_destroy_codec(codec);
  if (stream != nullptr) opj_stream_destroy(stream);
  return result;
}

// ------------------------------------------------------------ registry ---

const unsigned char kJpegSignature[] = {0xFF, 0xD8, 0xFF};
const unsigned char kPngSignature[] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
const unsigned char kJ2kSignature[] = {0xFF, 0x4F, 0xFF, 0x51};
const unsigned char kJp2Signature[] = {0x00, 0x00, 0x00, 0x0C, 'j',  'P',
                                       ' ',  ' ',  0x0D, 0x0A, 0x87, 0x0A};

struct Decoder {
  std::string name;
  std::optional<DecodedPicture> (*decode)(const std::uint8_t*, std::size_t);
};

std::vector<Decoder>& Decoders() {
  static std::vector<Decoder> decoders;
  return decoders;
}

std::optional<DecodedPicture> DecodeJpeg2000Any(const std::uint8_t* data, std::size_t size) {
  if (StartsWith(data, size, kJ2kSignature, sizeof kJ2kSignature)) {
    return DecodeJpeg2000Bytes(data, size, OPJ_CODEC_J2K);
  }
  if (StartsWith(data, size, kJp2Signature, sizeof kJp2Signature)) {
    return DecodeJpeg2000Bytes(data, size, OPJ_CODEC_JP2);
  }
  return std::nullopt;
}

std::optional<DecodedPicture> DecodeJpegAny(const std::uint8_t* data, std::size_t size) {
  if (!StartsWith(data, size, kJpegSignature, sizeof kJpegSignature)) return std::nullopt;
  return DecodeJpegBytes(data, size);
}

std::optional<DecodedPicture> DecodePngAny(const std::uint8_t* data, std::size_t size) {
  if (!StartsWith(data, size, kPngSignature, sizeof kPngSignature)) return std::nullopt;
  return DecodePngBytes(data, size);
}

}  // namespace

void RegisterImageDecoders() {
  std::vector<Decoder>& decoders = Decoders();
  if (!decoders.empty()) return;
  decoders.push_back({"jpeg", DecodeJpegAny});
  decoders.push_back({"png", DecodePngAny});
  decoders.push_back({"jpeg2000", DecodeJpeg2000Any});
}

bool IsImageDecoderRegistered(std::string_view name) {
  for (const Decoder& d : Decoders()) {
    if (d.name == name) return true;
  }
  return false;
}

std::optional<DecodedPicture> DecodePicture(const std::uint8_t* data, std::size_t size) {
  if (data == nullptr || size == 0) return std::nullopt;
  RegisterImageDecoders();
  for (const Decoder& d : Decoders()) {
    // Each decoder checks its own signature; the formats' signatures differ.
    if (std::optional<DecodedPicture> picture = d.decode(data, size)) return picture;
  }
  return std::nullopt;
}

}  // namespace kanade
