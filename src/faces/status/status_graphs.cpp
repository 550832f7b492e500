// status: the page's graphs of the last ten minutes, as inline SVG.
//
// The server draws them rather than the page's script: the page then holds
// a few hundred points a graph instead of a ring's 3000 numbers, which keeps
// it small for every client that fetches it. A graph folds the ring's
// seconds into columns (the line's 2 s each, a unit's 5 s) and draws, as one
// path each, every outcome's mean rate a second and the mean of the seconds'
// response-time medians.
#include "status.h"

namespace {

struct GraphShape {
  int columns;
  int height;  // of the view box; the values run from y = height - 1 (0) up to y = 1 (the peak)
};

constexpr GraphShape kLineGraph = {300, 60};
constexpr GraphShape kUnitGraph = {120, 24};
static_assert(kSampleSeconds % kLineGraph.columns == 0 && kSampleSeconds % kUnitGraph.columns == 0);

// The series: one per outcome, then the medians. Their colours are the
// page's style classes.
constexpr int kMedianSeries = kOutcomeCount;
constexpr int kSeries = kOutcomeCount + 1;
const char *const kSeriesClass[kSeries] = {"v", "n", "c", "m", "t"};

// A ring's window folded into a graph's columns: for each series and
// column the mean over the column's seconds the ring holds (for medians,
// over those that heard a reply), or -1 when there are none. Folded in one
// pass, each second read once, for both graphs of a ring.
constexpr int kMostColumns = kLineGraph.columns;
static_assert(kUnitGraph.columns <= kMostColumns);

struct Folded {
  GraphShape shape;
  float value[kSeries][kMostColumns];  // 6 KB on the status thread's stack
};

// One column: sums and the seconds that count, by series.
void fold_column(const StatusSamples &r, int ring, int64_t from, int64_t to, Folded &f, int column) {
  double sum[kSeries] = {};
  int seconds = 0, heard = 0;
  for (int64_t n = from; n < to; ++n) {
    const SecondSample x = read_sample(r, ring, static_cast<uint64_t>(n));
    for (int k = 0; k < kOutcomeCount; ++k) sum[k] += x.exchanges[k];
    ++seconds;
    if (x.median_us < 0) continue;
    sum[kMedianSeries] += x.median_us;
    ++heard;
  }
  for (int k = 0; k < kSeries; ++k) {
    const int of = k == kMedianSeries ? heard : seconds;
    f.value[k][column] = of > 0 ? static_cast<float>(sum[k] / of) : -1;
  }
}

void fold(const StatusSamples &r, int ring, Folded &f) {
  const int step = kSampleSeconds / f.shape.columns;
  // Signed: while the server is young the window reaches back before sample 1.
  const int64_t start = static_cast<int64_t>(r.newest) - kSampleSeconds + 1;
  const int64_t oldest = static_cast<int64_t>(oldest_sample(r, ring));
  for (int c = 0; c < f.shape.columns; ++c) {
    const int64_t from = start + c * step;
    fold_column(r, ring, from > oldest ? from : oldest, from + step, f, c);
  }
}

// The highest value of `series`; -1 when it has none.
double series_peak(const Folded &f, int series) {
  double peak = -1;
  for (int c = 0; c < f.shape.columns; ++c)
    if (f.value[series][c] > peak) peak = f.value[series][c];
  return peak;
}

// Rounded by hand: the gateway links nothing but libc and pthreads, and
// lround would bring the maths library.
int y_of(double value, double top, int height) {
  return height - 1 - static_cast<int>(value / top * (height - 2) + 0.5);
}

// Writes a path's points a column apart, relative to the one before: a step
// up or down as a line ("l1-3", then " 1 2" while lines follow), a level
// stretch as one horizontal line ("h14"), which keeps a steady or mostly idle
// series short.
class PathWriter {
 public:
  explicit PathWriter(TextOut &o) : o_(o) {}

  void move_to(int x, int y) {
    end_run();
    o_.put("M", 1);
    o_.put_uint(static_cast<uint32_t>(x));
    o_.put(" ", 1);
    o_.put_uint(static_cast<uint32_t>(y));
    y_ = y;
    points_ = 1;
  }
  void step_to(int y) {
    ++points_;
    if (y == y_) {
      ++level_;
      return;
    }
    flush_level();
    // A minus sign separates numbers as well as a space does.
    o_.put(in_line_ ? " 1" : "l1", 2);
    o_.put(y < y_ ? "-" : " ", 1);
    o_.put_uint(static_cast<uint32_t>(y < y_ ? y_ - y : y - y_));
    in_line_ = true;
    y_ = y;
  }
  // Ends the current run of points; a run of one point is drawn as a dot.
  void end_run() {
    flush_level();
    if (points_ == 1) o_.put("h0");
    points_ = 0;
    in_line_ = false;
  }

 private:
  void flush_level() {
    if (level_ == 0) return;
    o_.put("h", 1);
    o_.put_uint(static_cast<uint32_t>(level_));
    level_ = 0;
    in_line_ = false;
  }
  TextOut &o_;
  int y_ = 0;
  int points_ = 0;  // in the current run
  int level_ = 0;   // level steps not yet written
  bool in_line_ = false;
};

// One series as a path, a column a unit apart: each run of columns with a
// value is one subpath.
void put_path(TextOut &o, const Folded &f, int series, double top) {
  o.putf("<path class=\"%s\" d=\"", kSeriesClass[series]);
  PathWriter path(o);
  bool in_run = false;
  for (int c = 0; c < f.shape.columns; ++c) {
    const double v = f.value[series][c];
    if (v < 0)
      path.end_run();
    else if (in_run)
      path.step_to(y_of(v, top, f.shape.height));
    else
      path.move_to(c, y_of(v, top, f.shape.height));
    in_run = v >= 0;
  }
  path.end_run();
  o.put("\"/>");
}

// The rates of the outcomes, or the medians, as one graph scaled to its
// peak, which its label names. An outcome that never happened in the window
// is left out; its line would lie on the floor.
void put_graph(TextOut &o, const Folded &f, bool rates) {
  const int first = rates ? 0 : kMedianSeries, end = rates ? kOutcomeCount : kSeries;
  double peaks[kSeries];
  double top = 0;
  for (int k = first; k < end; ++k) {
    peaks[k] = series_peak(f, k);
    if (peaks[k] > top) top = peaks[k];
  }
  o.putf("<div class=\"gr\"><svg viewBox=\"0 0 %d %d\" preserveAspectRatio=\"none\">", f.shape.columns - 1,
         f.shape.height);
  for (int k = first; k < end; ++k)
    if (top > 0 && peaks[k] > 0) put_path(o, f, k, top);
  o.put("</svg><b>");
  if (rates)
    o.putf("%.3g/s", top);
  else if (top > 0)
    o.putf("%.3g ms", top / 1000);
  else
    o.put("no reply");
  o.put("</b></div>");
}

void put_graph_pair(TextOut &o, const StatusSamples &r, int ring, GraphShape shape) {
  Folded f;
  f.shape = shape;
  fold(r, ring, f);
  put_graph(o, f, true);
  put_graph(o, f, false);
}

}  // namespace

void render_line_graphs(const StatusSnapshot &s, TextOut &o) {
  if (s.samples != nullptr) put_graph_pair(o, *s.samples, kLineRing, kLineGraph);
}

void render_unit_graphs(const StatusSnapshot &s, TextOut &o) {
  if (s.samples == nullptr) return;
  for (int i = 0; i < listed_units(s); ++i) {
    const uint8_t unit = s.units[i].unit;
    const int ring = unit_ring(*s.samples, unit);
    o.putf("<div class=\"ug\" data-unit=\"%u\">", unit);
    if (ring < 0)
      o.putf("<p class=\"none\">No graph: all %d are in use.</p>", kSampleUnits);
    else
      put_graph_pair(o, *s.samples, ring, kUnitGraph);
    o.put("</div>");
  }
}
