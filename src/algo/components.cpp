// Weakly connected components by union-find, and reachability lower bounds from strongly connected components.
#include "algo/components.hpp"

#include <algorithm>

namespace velkor::algo::detail {

ComponentLayout weak_components(const Adjacency& adj, std::uint32_t nodes, base::MemoryBudget* budget) {
  ComponentLayout out;
  out.charge = ScratchCharge(budget);
  // The union-find's two arrays and the numbering by root, then the
  // component of each node, which outlives them.
  const std::size_t search_bytes = bytes_of<std::uint32_t>(nodes) * 3;
  ScratchCharge scratch(budget, search_bytes + bytes_of<std::uint32_t>(nodes));
  std::vector<std::uint32_t> label;  // the component of each node
  {
    DisjointSets sets(nodes);
    for (std::uint32_t v = 0; v < nodes; ++v) {
      std::uint32_t root = sets.find(v);
      for (std::size_t p = adj.begin(v); p < adj.end(v); ++p) {
        const std::uint32_t other = sets.find(adj.arcs[p].to);
        if (other != root) root = sets.link(root, other);
      }
    }
    constexpr std::uint32_t kNone = 0xFFFFFFFFu;
    std::vector<std::uint32_t> number(nodes, kNone);  // by root
    label.resize(nodes);
    std::uint32_t count = 0;
    for (std::uint32_t v = 0; v < nodes; ++v) {
      const std::uint32_t r = sets.find(v);
      if (number[r] == kNone) number[r] = count++;
      label[v] = number[r];
    }
    out.charge.add(bytes_of<ComponentSpan>(count));
    out.components.resize(count);
  }
  scratch.release(search_bytes);
  out.charge.add(bytes_of<std::uint32_t>(nodes) + bytes_of<base::NodeIndex>(nodes));
  out.local.resize(nodes);
  for (std::uint32_t v = 0; v < nodes; ++v) out.local[v] = out.components[label[v]].size++;
  std::size_t offset = 0;
  for (ComponentSpan& c : out.components) {
    c.first = offset;
    offset += c.size;
  }
  out.members.resize(nodes);
  for (std::uint32_t v = 0; v < nodes; ++v)
    out.members[out.components[label[v]].first + out.local[v]] = v;
  return out;
}

void localize_targets(Adjacency& adj, const std::vector<std::uint32_t>& local) {
  std::size_t v = 0;
  while (v < local.size() && local[v] == v) ++v;
  if (v == local.size()) return;
  for (std::size_t p = 0; p < adj.count; ++p) adj.arcs[p].to = local[adj.arcs[p].to];
}

// Tarjan's algorithm without recursion. A component closes only after every
// component it reaches, so their bounds are known by then; each node keeps
// the largest bound met on arcs leaving its component, passed up the search
// tree to the component's root.
std::vector<std::uint32_t> reach_lower_bounds(const Adjacency& adj, std::uint32_t nodes,
                                              base::MemoryBudget* budget) {
  constexpr std::uint32_t kUnvisited = 0xFFFFFFFFu;
  // Three arrays by node; the stacks, as deep as the search goes, are
  // charged as they grow.
  ScratchCharge scratch(budget, bytes_of<std::uint32_t>(nodes) * 3);
  std::vector<std::uint32_t> bound(nodes, 0);  // 0 until the node's component closes
  std::vector<std::uint32_t> index(nodes, kUnvisited);
  std::vector<std::uint32_t> low(nodes);
  std::vector<std::uint32_t> beyond(nodes, 0);
  std::vector<std::uint32_t> stack;
  struct Frame {
    std::uint32_t v;
    std::size_t next;  // the next arc of v to follow
  };
  std::vector<Frame> frames;
  std::uint32_t counter = 0;

  for (std::uint32_t root = 0; root < nodes; ++root) {
    if (index[root] != kUnvisited) continue;
    index[root] = low[root] = counter++;
    push_charged(stack, root, scratch);
    push_charged(frames, Frame{root, adj.begin(root)}, scratch);
    while (!frames.empty()) {
      Frame& f = frames.back();
      const std::uint32_t v = f.v;
      if (f.next < adj.end(v)) {
        const std::uint32_t w = adj.arcs[f.next++].to;
        if (index[w] == kUnvisited) {
          index[w] = low[w] = counter++;
          push_charged(stack, w, scratch);
          push_charged(frames, Frame{w, adj.begin(w)}, scratch);
        } else if (bound[w] == 0) {
          low[v] = std::min(low[v], index[w]);  // on the stack: the same component
        } else {
          beyond[v] = std::max(beyond[v], bound[w]);
        }
        continue;
      }
      frames.pop_back();
      if (low[v] == index[v]) {
        // v roots a component: the stack from v up.
        std::size_t base = stack.size() - 1;
        while (stack[base] != v) --base;
        const auto value = static_cast<std::uint32_t>(stack.size() - base) + beyond[v];
        for (std::size_t s = base; s < stack.size(); ++s) bound[stack[s]] = value;
        stack.resize(base);
      }
      if (frames.empty()) continue;
      const std::uint32_t parent = frames.back().v;
      low[parent] = std::min(low[parent], low[v]);
      beyond[parent] = std::max(beyond[parent], bound[v] != 0 ? bound[v] : beyond[v]);
    }
  }
  return bound;
}

}  // namespace velkor::algo::detail
