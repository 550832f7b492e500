// status: the page's graphs of the last ten minutes, as inline SVG.
//
// The server draws them rather than the page's script: the page then holds
// a few hundred points a graph instead of a ring's 3000 numbers, which keeps
// it small for every client that fetches it. A graph folds the ring's
// seconds into columns (the line's 2 s each, a unit's 5 s) and draws, as one
// path each, every outcome's mean rate a second and the mean of the seconds'
// response-time medians.
#include <cmath>

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

struct Graph {
  const StatusSamples &r;
  int ring;
  GraphShape shape;
  uint64_t oldest;  // the ring's oldest sample
};

// The value of `series` in `column`: the mean over the column's seconds the
// ring holds (for medians, over those that heard a reply). False when there
// are none.
bool column_value(const Graph &g, int column, int series, double &value) {
  const int step = kSampleSeconds / g.shape.columns;
  // Signed: while the server is young the window reaches back before sample 1.
  const int64_t start = static_cast<int64_t>(g.r.newest) - kSampleSeconds + 1 + column * step;
  double sum = 0;
  int seconds = 0;
  for (int64_t n = start; n < start + step; ++n) {
    if (n < static_cast<int64_t>(g.oldest)) continue;
    const SecondSample x = read_sample(g.r, g.ring, static_cast<uint64_t>(n));
    if (series == kMedianSeries && x.median_us < 0) continue;
    sum += series == kMedianSeries ? x.median_us : x.exchanges[series];
    ++seconds;
  }
  if (seconds == 0) return false;
  value = sum / seconds;
  return true;
}

// The highest value of `series` over the graph; -1 when it has none.
double series_peak(const Graph &g, int series) {
  double peak = -1;
  for (int c = 0; c < g.shape.columns; ++c) {
    double v;
    if (column_value(g, c, series, v) && v > peak) peak = v;
  }
  return peak;
}

int y_of(double value, double top, int height) {
  return height - 1 - static_cast<int>(std::lround(value / top * (height - 2)));
}

// One series as a path, a column a unit apart: each run of columns with a
// value is one subpath, relative after its first point; a run of one point
// is drawn as a dot.
void put_path(TextOut &o, const Graph &g, int series, double top) {
  o.putf("<path class=\"%s\" d=\"", kSeriesClass[series]);
  int run = 0, last_y = 0;
  for (int c = 0; c < g.shape.columns; ++c) {
    double v;
    if (!column_value(g, c, series, v)) {
      if (run == 1) o.put("h0");
      run = 0;
      continue;
    }
    const int y = y_of(v, top, g.shape.height);
    if (run == 0)
      o.putf("M%d %d", c, y);
    else  // a minus sign separates numbers as well as a space does
      o.putf(run == 1 ? "l1%s%d" : " 1%s%d", y < last_y ? "" : " ", y - last_y);
    last_y = y;
    ++run;
  }
  if (run == 1) o.put("h0");
  o.put("\"/>");
}

// The rates of the outcomes, or the medians, as one graph scaled to its
// peak, which its label names. An outcome that never happened in the window
// is left out; its line would lie on the floor.
void put_graph(TextOut &o, const Graph &g, bool rates) {
  const int first = rates ? 0 : kMedianSeries, end = rates ? kOutcomeCount : kSeries;
  double peaks[kSeries];
  double top = 0;
  for (int k = first; k < end; ++k) {
    peaks[k] = series_peak(g, k);
    if (peaks[k] > top) top = peaks[k];
  }
  o.putf("<div class=\"gr\"><svg viewBox=\"0 0 %d %d\" preserveAspectRatio=\"none\">", g.shape.columns - 1,
         g.shape.height);
  for (int k = first; k < end; ++k)
    if (top > 0 && peaks[k] > 0) put_path(o, g, k, top);
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
  const Graph g = {r, ring, shape, oldest_sample(r, ring)};
  put_graph(o, g, true);
  put_graph(o, g, false);
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
