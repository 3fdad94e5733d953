#pragma once
// How the OPC sides (DA browsing, item properties, the HDA browser) see the device tree: item ids to
// nodes, the listings a browse hands out and the name filters clients pass with them.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/ComInterfaces.h"
#include "tree/TreeItem.h"

namespace orvela {

// A browse name filter: "*" any run of characters, "?" any one character, "#" one digit, "[abc]",
// "[a-z]" one character of a set, "[!abc]" one character outside it. Comparison is case-sensitive, as
// item ids are. Matching never backtracks more than once per star: its cost is bounded by the length of
// the name times the length of the pattern, whatever the pattern.
class TNameFilter {
 public:
  static constexpr size_t kMaxLength = 256;
  // No filter for an empty or null pattern; nullopt when the pattern is malformed or too long.
  static std::optional<TNameFilter> Parse(std::u16string_view pattern);
  bool Matches(std::u16string_view name) const;
  bool Matches(std::string_view utf8Name) const;

 private:
  struct TToken {
    enum TKind : uint8_t { Literal, AnyOne, Digit, Set, Star } kind = Literal;
    char16_t c = 0;
    bool negated = false;
    std::vector<std::pair<char16_t, char16_t>> ranges;
    bool MatchesChar(char16_t ch) const;
  };
  std::vector<TToken> tokens_;
};

// Which side lists a branch: DA shows branches visible in DA, HDA those visible in HDA.
enum class TBrowseSide { DA, HDA };

// What a leaf must satisfy to be listed (DA's data-type and access-rights filters, the HDA browser's
// attribute filters through extra). Branches are filtered by name only.
struct TLeafFilter {
  const TNameFilter* name = nullptr;
  VARTYPE type = VT_EMPTY;  // VT_EMPTY: any
  DWORD rights = 0;         // 0: any; else one of the bits must be granted
  bool (*extra)(const TNTreeData& node, const void* context) = nullptr;
  const void* context = nullptr;
  bool Accepts(const TNTreeData& node) const;
};

// A node's canonical data type (from its data-type attribute) and its access mode as OPC access rights.
VARTYPE NodeCanonicalType(const TNTreeData& node);
DWORD NodeAccessRights(uint16_t accessMode);

class TOPCExplorer {
 public:
  // Flat listings stop here: a client gets a bounded answer even from a huge tree.
  static constexpr size_t kMaxFlat = 1'000'000;

  explicit TOPCExplorer(TTree& tree) : tree_(tree) {}
  TTree& Tree() const { return tree_; }

  // The node an item id names exactly (a leading "\\" allowed), or none.
  TNTreeData* Resolve(std::u16string_view id) const;
  TNTreeData* Root() const;
  // Whether the node still hangs in the tree (a removed device's nodes stay alive but detached).
  bool Alive(const TNTreeData* node) const { return node && tree_.IsInTree(node); }
  TNTreeData* Parent(const TNTreeData* node) const;
  // The first child named exactly name, or none.
  TNTreeData* Child(const TNTreeData* node, std::string_view name) const;
  std::string Path(const TNTreeData* node) const;

  // Names of the children that have children of their own and are visible on side.
  std::vector<std::string> Branches(const TNTreeData* node, TBrowseSide side, const TNameFilter* name) const;
  // Names of the children without children.
  std::vector<std::string> Leaves(const TNTreeData* node, const TLeafFilter& filter) const;
  // Full ids of every leaf below node (not entering branches hidden on side), in tree order.
  std::vector<std::string> Flat(const TNTreeData* node, TBrowseSide side, const TLeafFilter& filter) const;

 private:
  TTree& tree_;
};

// An IEnumString over names, S_FALSE when there are none: an empty list still comes with an enumerator,
// which the client releases either way.
HRESULT MakeNameEnumerator(const std::vector<std::string>& names, IEnumString** out);

// A client's browse position: a branch of the tree (the root at first). Moves that fail leave it where it
// was. When the device that holds it is removed, the next use finds it detached and it starts again at
// the root.
class TBrowsePosition {
 public:
  enum TResult { Moved, NoSuchBranch, Failed };

  TBrowsePosition(TTree& tree, TBrowseSide side) : explorer_(tree), side_(side), node_(explorer_.Root()) {}
  const TOPCExplorer& Explorer() const { return explorer_; }
  // The position, or none (and the position back at the root) when it left the tree.
  TNTreeData* Current();
  // To the parent; Failed at the root or when the position left the tree.
  TResult Up();
  // To the child branch named name.
  TResult Down(std::u16string_view name);
  // To the branch an item id names; an empty id is the root.
  TResult To(std::u16string_view id);
  // A client's ChangeBrowsePosition, DA and HDA alike: direction 1 up, 2 down to the named child, 3 to the
  // named id. S_OK when moved; E_FAIL up from the root or from a position that left the tree; E_INVALIDARG
  // for a name that is no branch there and for any other direction.
  HRESULT Change(int32_t direction, std::u16string_view name);
  // What a name means at the position: empty, the position; a child's name, the child; else a complete id.
  TNTreeData* Named(std::u16string_view name);

 private:
  bool IsBranch(const TNTreeData* node) const;

  TOPCExplorer explorer_;
  TBrowseSide side_;
  TNTreeData* node_;
};

}  // namespace orvela
