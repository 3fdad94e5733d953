#include "engine/OPCExplorer.h"

#include "drivers/Families.h"
#include "platform/Cp1251.h"
#include "platform/com/ComObject.h"

namespace orvela {

// ---- Name filter
// ---------------------------------------------------------------------------------------------

namespace {

// Reads one "[...]" set starting after "["; false when it is not closed or empty.
template <class TToken>
bool ParseSet(std::u16string_view pattern, size_t& i, TToken& token) {
  token.kind = TToken::Set;
  if (i < pattern.size() && pattern[i] == u'!') {
    token.negated = true;
    ++i;
  }
  while (i < pattern.size() && pattern[i] != u']') {
    char16_t low = pattern[i++];
    char16_t high = low;
    if (i + 1 < pattern.size() && pattern[i] == u'-' && pattern[i + 1] != u']') {
      high = pattern[i + 1];
      i += 2;
      if (high < low) return false;
    }
    token.ranges.emplace_back(low, high);
  }
  if (i >= pattern.size() || token.ranges.empty()) return false;
  ++i;  // the closing "]"
  return true;
}

}  // namespace

bool TNameFilter::TToken::MatchesChar(char16_t ch) const {
  switch (kind) {
    case Literal:
      return ch == c;
    case AnyOne:
      return true;
    case Digit:
      return ch >= u'0' && ch <= u'9';
    case Set: {
      bool in = false;
      for (const auto& [low, high] : ranges) in = in || (ch >= low && ch <= high);
      return in != negated;
    }
    case Star:
      return false;
  }
  return false;
}

std::optional<TNameFilter> TNameFilter::Parse(std::u16string_view pattern) {
  if (pattern.size() > kMaxLength) return std::nullopt;
  TNameFilter filter;
  // No pattern lets everything through, as a lone star does.
  if (pattern.empty()) {
    TToken star;
    star.kind = TToken::Star;
    filter.tokens_.push_back(star);
  }
  size_t i = 0;
  while (i < pattern.size()) {
    TToken token;
    const char16_t ch = pattern[i++];
    switch (ch) {
      case u'*':
        // Runs of stars are one star: they match nothing more and would only cost time.
        if (!filter.tokens_.empty() && filter.tokens_.back().kind == TToken::Star) continue;
        token.kind = TToken::Star;
        break;
      case u'?':
        token.kind = TToken::AnyOne;
        break;
      case u'#':
        token.kind = TToken::Digit;
        break;
      case u'[':
        if (!ParseSet(pattern, i, token)) return std::nullopt;
        break;
      default:
        token.c = ch;
        break;
    }
    filter.tokens_.push_back(std::move(token));
  }
  return filter;
}

// Greedy matching that remembers only the last star: when a later part fails, that star takes one more
// character and the rest is tried again. Earlier stars never need to give anything back, so the work is
// at most name length times pattern length.
bool TNameFilter::Matches(std::u16string_view name) const {
  constexpr size_t kNone = static_cast<size_t>(-1);
  size_t t = 0, n = 0, starToken = kNone, starName = 0;
  while (n < name.size()) {
    if (t < tokens_.size() && tokens_[t].kind == TToken::Star) {
      starToken = t++;
      starName = n;
    } else if (t < tokens_.size() && tokens_[t].MatchesChar(name[n])) {
      ++t;
      ++n;
    } else if (starToken != kNone) {
      t = starToken + 1;
      n = ++starName;
    } else {
      return false;
    }
  }
  while (t < tokens_.size() && tokens_[t].kind == TToken::Star) ++t;
  return t == tokens_.size();
}

bool TNameFilter::Matches(std::string_view utf8Name) const {
  return Matches(Utf8ToUtf16(utf8Name));
}

// ---- Node facts
// ----------------------------------------------------------------------------------------------

VARTYPE NodeCanonicalType(const TNTreeData& node) {
  const TVariant& type = Attribute(node, asDataType).Value;
  const int64_t code = type.IsInteger() ? type.i : static_cast<int64_t>(type.AsDouble());
  if (code == kDataTypeString) return VT_BSTR;
  return static_cast<VARTYPE>(code);
}

DWORD NodeAccessRights(uint16_t accessMode) {
  struct TRights {
    uint16_t mode;
    DWORD rights;
  };
  // OPC_READABLE 1, OPC_WRITEABLE 2; any other mode reads only.
  constexpr TRights kRights[] = {{1, 1}, {2, 1 | 2}, {3, 2}};
  for (const auto& r : kRights)
    if (r.mode == accessMode) return r.rights;
  return 1;
}

bool TLeafFilter::Accepts(const TNTreeData& node) const {
  if (name && !name->Matches(std::string_view(node.Name))) return false;
  if (type != VT_EMPTY && NodeCanonicalType(node) != type) return false;
  if (rights != 0 && (NodeAccessRights(NodeAccessMode(node)) & rights) == 0) return false;
  return !extra || extra(node, context);
}

// ---- Explorer
// ------------------------------------------------------------------------------------------------

namespace {

bool VisibleOn(const TNTreeData& node, TBrowseSide side) {
  return side == TBrowseSide::DA ? node.DAVisible : node.HDAVisible;
}

}  // namespace

TNTreeData* TOPCExplorer::Resolve(std::u16string_view id) const {
  if (id.starts_with(u"\\\\")) id.remove_prefix(2);
  if (id.empty()) return nullptr;
  const std::string text = Utf16ToUtf8(id);
  TNTreeData* node = tree_.ResolveIdentifier(text);
  auto lock = tree_.ReadLock();
  return node && node->Path == text ? node : nullptr;
}

TNTreeData* TOPCExplorer::Root() const {
  auto lock = tree_.ReadLock();
  return tree_.Root();
}

TNTreeData* TOPCExplorer::Parent(const TNTreeData* node) const {
  auto lock = tree_.ReadLock();
  return node ? node->Parent : nullptr;
}

TNTreeData* TOPCExplorer::Child(const TNTreeData* node, std::string_view name) const {
  auto lock = tree_.ReadLock();
  for (TNTreeData* child : node->Children)
    if (child && child->Name == name) return child;
  return nullptr;
}

std::string TOPCExplorer::Path(const TNTreeData* node) const {
  auto lock = tree_.ReadLock();
  return node->Path;
}

std::vector<std::string> TOPCExplorer::Branches(const TNTreeData* node, TBrowseSide side,
                                                const TNameFilter* name) const {
  auto lock = tree_.ReadLock();
  std::vector<std::string> out;
  for (const TNTreeData* child : node->Children)
    if (child && !child->Children.empty() && VisibleOn(*child, side) &&
        (!name || name->Matches(std::string_view(child->Name))))
      out.push_back(child->Name);
  return out;
}

std::vector<std::string> TOPCExplorer::Leaves(const TNTreeData* node, const TLeafFilter& filter) const {
  auto lock = tree_.ReadLock();
  std::vector<std::string> out;
  for (const TNTreeData* child : node->Children)
    if (child && child->Children.empty() && filter.Accepts(*child)) out.push_back(child->Name);
  return out;
}

std::vector<std::string> TOPCExplorer::Flat(const TNTreeData* node, TBrowseSide side,
                                            const TLeafFilter& filter) const {
  auto lock = tree_.ReadLock();
  std::vector<std::string> out;
  // An explicit stack in reverse child order keeps tree order without recursion.
  std::vector<const TNTreeData*> stack(node->Children.rbegin(), node->Children.rend());
  while (!stack.empty() && out.size() < kMaxFlat) {
    const TNTreeData* n = stack.back();
    stack.pop_back();
    if (!n) continue;
    if (n->Children.empty()) {
      if (filter.Accepts(*n)) out.push_back(n->Path);
    } else if (VisibleOn(*n, side)) {
      stack.insert(stack.end(), n->Children.rbegin(), n->Children.rend());
    }
  }
  return out;
}

HRESULT MakeNameEnumerator(const std::vector<std::string>& names, IEnumString** out) {
  std::vector<std::u16string> wide;
  wide.reserve(names.size());
  for (const auto& n : names) wide.push_back(Utf8ToUtf16(n));
  if (HRESULT hr = MakeStringEnumerator(std::move(wide), out); FAILED(hr)) return hr;
  return names.empty() ? S_FALSE : S_OK;
}

// ---- Browse position
// -----------------------------------------------------------------------------------------

TNTreeData* TBrowsePosition::Current() {
  if (explorer_.Alive(node_)) return node_;
  node_ = explorer_.Root();
  return nullptr;
}

bool TBrowsePosition::IsBranch(const TNTreeData* node) const {
  auto lock = explorer_.Tree().ReadLock();
  return node == explorer_.Tree().Root() || (!node->Children.empty() && VisibleOn(*node, side_));
}

TBrowsePosition::TResult TBrowsePosition::Up() {
  if (!Current()) return Failed;
  TNTreeData* parent = explorer_.Parent(node_);
  if (!parent) return Failed;  // already at the root
  node_ = parent;
  return Moved;
}

TBrowsePosition::TResult TBrowsePosition::Down(std::u16string_view name) {
  if (name.empty()) return NoSuchBranch;
  if (!Current()) return Failed;
  TNTreeData* child = explorer_.Child(node_, Utf16ToUtf8(name));
  if (!child || !IsBranch(child)) return NoSuchBranch;
  node_ = child;
  return Moved;
}

TBrowsePosition::TResult TBrowsePosition::To(std::u16string_view id) {
  TNTreeData* node = id.empty() ? explorer_.Root() : explorer_.Resolve(id);
  if (!node || !IsBranch(node)) return NoSuchBranch;
  node_ = node;
  return Moved;
}

HRESULT TBrowsePosition::Change(int32_t direction, std::u16string_view name) {
  constexpr HRESULT kResults[] = {S_OK, E_INVALIDARG, E_FAIL};
  switch (direction) {
    case 1:
      return kResults[Up()];
    case 2:
      return kResults[Down(name)];
    case 3:
      return kResults[To(name)];
  }
  return E_INVALIDARG;
}

TNTreeData* TBrowsePosition::Named(std::u16string_view name) {
  TNTreeData* at = Current();
  if (!at || name.empty()) return at;
  if (TNTreeData* child = explorer_.Child(at, Utf16ToUtf8(name))) return child;
  return explorer_.Resolve(name);
}

}  // namespace orvela
