// Shortest path over the positions of a piece of the new file. Every prefix of a match
// is a match, so the cheapest cost of building the first t bytes never falls as t grows;
// a copy therefore only needs to end where its length field widens (255, 65535), where
// it stops matching, or where another match starts. Inserts may start where any copy
// ends and are priced exactly: data plus a head of 2, 3 or 5 bytes by their length.
#include "creator/parse.h"

#include <algorithm>
#include <cstddef>
#include <deque>

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

struct Graph {
  std::vector<std::uint32_t> position;
  std::vector<std::uint64_t> cost;
  std::vector<std::uint32_t> previous;   // node the last operation starts at
  std::vector<std::uint32_t> candidate;  // its candidate, or kNoCandidate for an insert
};

// Inserts that end at the current node, grouped by the width their length field needs:
// the node before with the least cost minus position, within each window.
struct InsertWindows {
  std::deque<std::uint32_t> short_runs;   // nodes within 255 bytes
  std::deque<std::uint32_t> medium_runs;  // nodes within 65535 bytes
  std::uint32_t any = kNoCandidate;       // any node before
};

std::vector<std::uint32_t> node_positions(const std::vector<Candidate>& candidates,
                                          std::uint32_t size) {
  std::vector<std::uint32_t> points = {0, size};
  points.reserve(candidates.size() * 4 + 2);
  for (const Candidate& c : candidates) {
    std::uint32_t end = c.start + c.length;
    points.push_back(c.start);
    points.push_back(end);
    if (c.length > kOneByteMax) points.push_back(c.start + kOneByteMax);
    if (c.length > kTwoByteMax) points.push_back(c.start + kTwoByteMax);
  }
  std::sort(points.begin(), points.end());
  points.erase(std::unique(points.begin(), points.end()), points.end());
  return points;
}

std::int64_t slack(const Graph& graph, std::uint32_t node) {
  return static_cast<std::int64_t>(graph.cost[node]) - graph.position[node];
}

void push_window(const Graph& graph, std::deque<std::uint32_t>* window, std::uint32_t node) {
  while (!window->empty() && slack(graph, window->back()) >= slack(graph, node))
    window->pop_back();
  window->push_back(node);
}

void drop_older(const Graph& graph, std::deque<std::uint32_t>* window, std::uint32_t oldest) {
  while (!window->empty() && graph.position[window->front()] < oldest)
    window->pop_front();
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
  if (!windows->short_runs.empty()) from(windows->short_runs.front(), 1);
  if (!windows->medium_runs.empty()) from(windows->medium_runs.front(), kOneByteMax + 1);
  if (windows->any != kNoCandidate) from(windows->any, kTwoByteMax + 1);
}

void relax_copies(Graph* graph, std::vector<ActiveCopy>* active, std::uint32_t node) {
  std::uint32_t here = graph->position[node];
  for (const ActiveCopy& copy : *active) {
    std::uint64_t cost = copy.cost_before + copy_head_size(copy.offset, here - copy.start);
    relax(graph, node, cost, copy.start_node, copy.candidate);
  }
  active->erase(std::remove_if(active->begin(), active->end(),
                               [here](const ActiveCopy& copy) { return copy.end <= here; }),
                active->end());
}

void start_copies(const Graph& graph, const std::vector<Candidate>& candidates, std::size_t* next,
                  std::uint32_t node, std::vector<ActiveCopy>* active) {
  std::uint32_t here = graph.position[node];
  for (; *next < candidates.size() && candidates[*next].start == here; ++*next) {
    const Candidate& c = candidates[*next];
    if (c.length == 0) continue;
    active->push_back({node, c.start, c.start + c.length, c.offset,
                       static_cast<std::uint32_t>(*next), graph.cost[node]});
    if (active->size() > kMaxActive) {
      auto dearest = std::max_element(
          active->begin(), active->end(),
          [](const ActiveCopy& a, const ActiveCopy& b) { return a.cost_before < b.cost_before; });
      active->erase(dearest);
    }
  }
}

std::vector<Operation> trace_back(const Graph& graph, const std::vector<Candidate>& candidates) {
  std::vector<Operation> operations;
  for (std::uint32_t node = static_cast<std::uint32_t>(graph.position.size() - 1); node != 0;
       node = graph.previous[node]) {
    std::uint32_t from = graph.previous[node];
    std::uint32_t length = graph.position[node] - graph.position[from];
    std::uint32_t candidate = graph.candidate[node];
    if (candidate == kNoCandidate) {
      operations.push_back({false, 0, length});
    } else {
      operations.push_back({true, candidates[candidate].offset, length});
    }
  }
  std::reverse(operations.begin(), operations.end());
  return operations;
}

}  // namespace

std::vector<Operation> cheapest_operations(const std::vector<Candidate>& candidates,
                                           std::uint32_t size) {
  if (size == 0) return {};
  Graph graph;
  graph.position = node_positions(candidates, size);
  std::size_t nodes = graph.position.size();
  graph.cost.assign(nodes, UINT64_MAX);
  graph.previous.assign(nodes, 0);
  graph.candidate.assign(nodes, kNoCandidate);
  graph.cost[0] = 0;

  InsertWindows windows;
  std::vector<ActiveCopy> active;
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
    start_copies(graph, candidates, &next_candidate, node, &active);
  }
  return trace_back(graph, candidates);
}
