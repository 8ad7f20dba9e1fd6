// Shortest path over the positions of a piece of the new file. Every prefix of a match
// is a match, so the cheapest cost of building the first t bytes never falls as t grows;
// a copy therefore only needs to end where its length field widens (255, 65535), where
// it stops matching, or where another match starts. Inserts may start where any copy
// ends and are priced exactly: data plus a head of 2, 3 or 5 bytes by their length.
#include "creator/parse.h"

#include <algorithm>
#include <cstdlib>

namespace {

constexpr std::uint32_t kOneByteMax = 0xFF;
constexpr std::uint32_t kTwoByteMax = 0xFFFF;
constexpr std::uint32_t kNoCandidate = UINT32_MAX;
// Copies followed at once; more only come from pathological input, and dropping the
// dearest of them only costs size, never correctness.
constexpr std::size_t kMaxActive = 32;

struct ActiveCopy {
  std::uint32_t start_node;
  std::uint32_t start;
  std::uint32_t end;
  std::uint32_t offset;
  std::uint32_t candidate;
  std::uint64_t cost_before;  // cheapest cost of everything before `start`
};

// Nodes in the order of their positions; all arrays hold one entry per node, taken from
// one block of memory.
struct Graph {
  std::uint32_t nodes;
  std::uint32_t* position;
  std::uint64_t* cost;
  std::uint32_t* previous;   // node the last operation starts at
  std::uint32_t* candidate;  // its candidate, or kNoCandidate for an insert
  std::uint32_t* queues;     // room for the two windows below
};

// Nodes in order of position, as a queue that only the front leaves and the back may
// drop: each node enters once, so room for every node is enough.
struct Window {
  std::uint32_t* nodes;
  std::size_t front, back;
};

// Inserts that end at the current node, grouped by the width their length field needs:
// the node before with the least cost minus position, within each window.
struct InsertWindows {
  Window short_runs;                 // nodes within 255 bytes
  Window medium_runs;                // nodes within 65535 bytes
  std::uint32_t any = kNoCandidate;  // any node before
};

// The sorted positions where operations may start or end, in `points` (room for four
// per candidate and two more); returns how many.
std::uint32_t node_positions(const Candidate* candidates, std::size_t count, std::uint32_t size,
                             std::uint32_t* points) {
  std::uint32_t* end = points;
  *end++ = 0;
  *end++ = size;
  for (const Candidate* c = candidates; c != candidates + count; ++c) {
    *end++ = c->start;
    *end++ = c->start + c->length;
    if (c->length > kOneByteMax) *end++ = c->start + kOneByteMax;
    if (c->length > kTwoByteMax) *end++ = c->start + kTwoByteMax;
  }
  std::sort(points, end);
  return static_cast<std::uint32_t>(std::unique(points, end) - points);
}

// Room for the graph of `count` candidates in `space`, its positions filled in; false
// when memory runs out.
bool make_graph(const Candidate* candidates, std::size_t count, std::uint32_t size,
                ParseSpace* space, Graph* graph) {
  std::size_t most = count * 4 + 2;
  // position, previous, candidate and two windows of 4 bytes; cost of 8.
  constexpr std::size_t kNodeBytes = 5 * sizeof(std::uint32_t) + sizeof(std::uint64_t);
  if (count > (SIZE_MAX / kNodeBytes - 2) / 4) return false;
  if (space->size < most * kNodeBytes) {
    std::free(space->block);
    space->size = most * kNodeBytes;
    space->block = std::malloc(space->size);
  }
  auto* block = static_cast<unsigned char*>(space->block);
  if (block == nullptr) return false;
  graph->cost = reinterpret_cast<std::uint64_t*>(block);
  graph->position = reinterpret_cast<std::uint32_t*>(block + most * sizeof(std::uint64_t));
  graph->nodes = node_positions(candidates, count, size, graph->position);
  graph->previous = graph->position + most;
  graph->candidate = graph->previous + most;
  graph->queues = graph->candidate + most;
  return true;
}

std::int64_t slack(const Graph& graph, std::uint32_t node) {
  return static_cast<std::int64_t>(graph.cost[node]) - graph.position[node];
}

void push_window(const Graph& graph, Window* window, std::uint32_t node) {
  while (window->back > window->front &&
         slack(graph, window->nodes[window->back - 1]) >= slack(graph, node))
    --window->back;
  window->nodes[window->back++] = node;
}

void drop_older(const Graph& graph, Window* window, std::uint32_t oldest) {
  while (window->back > window->front && graph.position[window->nodes[window->front]] < oldest)
    ++window->front;
}

// The node with the least slack in the window; the window may not be empty.
std::uint32_t best_in(const Window& window) {
  return window.nodes[window.front];
}

void relax(Graph* graph, std::uint32_t node, std::uint64_t cost, std::uint32_t from,
           std::uint32_t candidate) {
  if (cost >= graph->cost[node]) return;
  graph->cost[node] = cost;
  graph->previous[node] = from;
  graph->candidate[node] = candidate;
}

void relax_inserts(Graph* graph, InsertWindows* windows, std::uint32_t node) {
  std::uint32_t here = graph->position[node];
  drop_older(*graph, &windows->short_runs, here > kOneByteMax ? here - kOneByteMax : 0);
  drop_older(*graph, &windows->medium_runs, here > kTwoByteMax ? here - kTwoByteMax : 0);
  auto from = [&](std::uint32_t start, std::uint32_t head_length) {
    std::int64_t cost = slack(*graph, start) + here + insert_head_size(head_length);
    relax(graph, node, static_cast<std::uint64_t>(cost), start, kNoCandidate);
  };
  if (windows->short_runs.back > windows->short_runs.front) from(best_in(windows->short_runs), 1);
  if (windows->medium_runs.back > windows->medium_runs.front)
    from(best_in(windows->medium_runs), kOneByteMax + 1);
  if (windows->any != kNoCandidate) from(windows->any, kTwoByteMax + 1);
}

// The copies followed at the current node.
struct ActiveCopies {
  ActiveCopy items[kMaxActive + 1];
  std::size_t count;
};

void relax_copies(Graph* graph, ActiveCopies* active, std::uint32_t node) {
  std::uint32_t here = graph->position[node];
  for (std::size_t i = 0; i < active->count; ++i) {
    const ActiveCopy& copy = active->items[i];
    std::uint64_t cost = copy.cost_before + copy_head_size(copy.offset, here - copy.start);
    relax(graph, node, cost, copy.start_node, copy.candidate);
  }
  ActiveCopy* end = active->items + active->count;
  end = std::remove_if(active->items, end,
                       [here](const ActiveCopy& copy) { return copy.end <= here; });
  active->count = static_cast<std::size_t>(end - active->items);
}

void start_copies(const Graph& graph, const Candidate* candidates, std::size_t count,
                  std::size_t* next, std::uint32_t node, ActiveCopies* active) {
  std::uint32_t here = graph.position[node];
  for (; *next < count && candidates[*next].start == here; ++*next) {
    const Candidate& c = candidates[*next];
    if (c.length == 0) continue;
    active->items[active->count++] = {node,
                                      c.start,
                                      c.start + c.length,
                                      c.offset,
                                      static_cast<std::uint32_t>(*next),
                                      graph.cost[node]};
    if (active->count > kMaxActive) {
      ActiveCopy* end = active->items + active->count;
      ActiveCopy* dearest = std::max_element(
          active->items, end,
          [](const ActiveCopy& a, const ActiveCopy& b) { return a.cost_before < b.cost_before; });
      std::copy(dearest + 1, end, dearest);
      --active->count;
    }
  }
}

bool trace_back(const Graph& graph, const Candidate* candidates, Operations* result) {
  std::size_t count = 0;
  for (std::uint32_t node = graph.nodes - 1; node != 0; node = graph.previous[node])
    ++count;
  result->items = static_cast<Operation*>(std::malloc(count * sizeof(Operation)));
  result->count = count;
  if (result->items == nullptr) return false;
  Operation* next = result->items + count;
  for (std::uint32_t node = graph.nodes - 1; node != 0; node = graph.previous[node]) {
    std::uint32_t from = graph.previous[node];
    std::uint32_t length = graph.position[node] - graph.position[from];
    std::uint32_t candidate = graph.candidate[node];
    *--next = candidate == kNoCandidate ? Operation{false, 0, length}
                                        : Operation{true, candidates[candidate].offset, length};
  }
  return true;
}

}  // namespace

bool cheapest_operations(const Candidate* candidates, std::size_t count, std::uint32_t size,
                         ParseSpace* space, Operations* result) {
  *result = {nullptr, 0};
  if (size == 0) return true;
  Graph graph;
  if (!make_graph(candidates, count, size, space, &graph)) return false;
  std::uint32_t nodes = graph.nodes;
  std::fill(graph.cost, graph.cost + nodes, UINT64_MAX);
  std::fill(graph.previous, graph.previous + nodes, 0);
  std::fill(graph.candidate, graph.candidate + nodes, kNoCandidate);
  graph.cost[0] = 0;

  InsertWindows windows = {{graph.queues, 0, 0}, {graph.queues + nodes, 0, 0}, kNoCandidate};
  ActiveCopies active;
  active.count = 0;
  std::size_t next_candidate = 0;
  for (std::uint32_t node = 0; node < nodes; ++node) {
    if (node > 0) {
      relax_copies(&graph, &active, node);
      relax_inserts(&graph, &windows, node);
    }
    push_window(graph, &windows.short_runs, node);
    push_window(graph, &windows.medium_runs, node);
    if (windows.any == kNoCandidate || slack(graph, node) < slack(graph, windows.any))
      windows.any = node;
    start_copies(graph, candidates, count, &next_candidate, node, &active);
  }
  return trace_back(graph, candidates, result);
}
