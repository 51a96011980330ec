// vboard-png: renders an SVG picture read from standard input to a PNG file of
// the same size in pixels, through librsvg and cairo. vboard runs it as a
// process of its own because the emulator library it links (Unicorn) exports
// functions under GLib's names, which GLib's own objects would then call.
//
//   vboard-png OUT.png < picture.svg
//
// Exit 0 when the file was written whole; otherwise one line on stderr with the
// reason and 74 (64 for a bad command line).
#include <cairo.h>
#include <librsvg/rsvg.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>

namespace {

struct Sink {
  std::FILE* f;
  int err;
};

cairo_status_t write_chunk(void* closure, const unsigned char* data, unsigned int length) {
  auto* sink = static_cast<Sink*>(closure);
  errno = 0;
  if (std::fwrite(data, 1, length, sink->f) != length) {
    sink->err = errno ? errno : EIO;
    return CAIRO_STATUS_WRITE_ERROR;
  }
  return CAIRO_STATUS_SUCCESS;
}

// Empty when written, else the reason.
std::string render(const std::string& svg, const std::string& path) {
  GError* gerr = nullptr;
  const auto reason = [&gerr](const char* otherwise) {
    std::string why = gerr ? gerr->message : otherwise;
    if (gerr) g_error_free(gerr);
    return why;
  };
  std::unique_ptr<RsvgHandle, void (*)(gpointer)> handle(
      rsvg_handle_new_from_data(reinterpret_cast<const guint8*>(svg.data()), svg.size(), &gerr),
      g_object_unref);
  if (!handle) return reason("the SVG was not read");
  gdouble w = 0, h = 0;
  if (!rsvg_handle_get_intrinsic_size_in_pixels(handle.get(), &w, &h) || w < 1 || h < 1)
    return "the SVG has no size in pixels";
  std::unique_ptr<cairo_surface_t, void (*)(cairo_surface_t*)> surface(
      cairo_image_surface_create(CAIRO_FORMAT_RGB24, static_cast<int>(std::ceil(w)),
                                 static_cast<int>(std::ceil(h))),
      cairo_surface_destroy);
  if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS)
    return cairo_status_to_string(cairo_surface_status(surface.get()));
  std::unique_ptr<cairo_t, void (*)(cairo_t*)> cr(cairo_create(surface.get()), cairo_destroy);
  const RsvgRectangle viewport{0, 0, w, h};
  if (!rsvg_handle_render_document(handle.get(), cr.get(), &viewport, &gerr))
    return reason("rendering failed");
  cairo_surface_flush(surface.get());

  errno = 0;
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return std::strerror(errno);
  Sink sink{f, 0};
  const cairo_status_t st = cairo_surface_write_to_png_stream(surface.get(), write_chunk, &sink);
  errno = 0;
  if (std::fflush(f) != 0 && !sink.err) sink.err = errno ? errno : EIO;
  if (std::fclose(f) != 0 && !sink.err) sink.err = errno ? errno : EIO;
  if (sink.err) return std::strerror(sink.err);
  if (st != CAIRO_STATUS_SUCCESS) return cairo_status_to_string(st);
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || argv[1][0] == '\0') {
    std::fprintf(stderr, "usage: vboard-png OUT.png < picture.svg\n");
    return 64;
  }
  const std::string svg((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
  const std::string why = render(svg, argv[1]);
  if (why.empty()) return 0;
  std::fprintf(stderr, "cannot write the PNG picture %s: %s\n", argv[1], why.c_str());
  return 74;
}
