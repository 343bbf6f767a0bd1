// Times what the X server draws into a window: each damage report that
// touches one of the named rectangles (window coordinates) prints
//   NAME T        (CLOCK_MONOTONIC, ns)
// until stdin closes. A window repaints hundreds of times a second in a
// flood, so this is C++: the watcher's own cost stays out of the figures.
//
//   x_watch DISPLAY WINDOW NAME:X,Y,W,H [...]
#include <X11/Xlib.h>
#include <X11/extensions/Xdamage.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::int64_t Now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct Rect {
  std::string name;
  int x, y, w, h;
  bool Touches(const XRectangle &r) const {
    return r.x < x + w && x < r.x + r.width && r.y < y + h && y < r.y + r.height;
  }
};

}  // namespace

int main(int argc, char **argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: x_watch DISPLAY WINDOW NAME:X,Y,W,H [...]\n");
    return 2;
  }
  std::vector<Rect> rects;
  for (int i = 3; i < argc; ++i) {
    const std::string arg = argv[i];
    const std::size_t colon = arg.find(':');
    Rect r{arg.substr(0, colon), 0, 0, 0, 0};
    if (colon == std::string::npos ||
        std::sscanf(arg.c_str() + colon + 1, "%d,%d,%d,%d", &r.x, &r.y, &r.w, &r.h) != 4) {
      std::fprintf(stderr, "bad rectangle %s\n", argv[i]);
      return 2;
    }
    rects.push_back(r);
  }
  Display *d = XOpenDisplay(argv[1]);
  if (d == nullptr) {
    std::fprintf(stderr, "cannot open display %s\n", argv[1]);
    return 1;
  }
  int eventBase = 0, errorBase = 0;
  if (!XDamageQueryExtension(d, &eventBase, &errorBase)) {
    std::fprintf(stderr, "the X server has no DAMAGE\n");
    return 1;
  }
  const auto window = static_cast<Window>(std::strtoul(argv[2], nullptr, 0));
  const Damage damage = XDamageCreate(d, window, XDamageReportRawRectangles);
  XSync(d, False);
  std::printf("ready\n");
  std::fflush(stdout);
  pollfd fds[2] = {{ConnectionNumber(d), POLLIN, 0}, {0, POLLIN, 0}};
  for (;;) {
    while (XPending(d) > 0) {
      XEvent e;
      XNextEvent(d, &e);
      if (e.type != eventBase + XDamageNotify) continue;
      const std::int64_t t = Now();
      const auto &n = reinterpret_cast<const XDamageNotifyEvent &>(e);
      for (const Rect &r : rects) {
        if (r.Touches(n.area)) std::printf("%s %lld\n", r.name.c_str(), static_cast<long long>(t));
      }
    }
    std::fflush(stdout);
    if (poll(fds, 2, -1) < 0) break;
    if (fds[1].revents != 0) {
      char c;
      if (read(0, &c, 1) <= 0) break;
    }
  }
  XDamageDestroy(d, damage);
  XCloseDisplay(d);
  return 0;
}
