#include "calyx/Chemistry.h"

#include <algorithm>
#include <array>
#include <sstream>

#include "detail/Log.h"
#include "detail/Xraylib.h"

namespace calyx {
namespace {

constexpr int kLastElement = 107;  // the end of xraylib's element table

// xraylib hands out symbols in memory the caller must free; keep one copy of each for the
// lifetime of the library so that symbol() can return a plain pointer.
class SymbolTable {
 public:
  SymbolTable() {
    for (int z = 1; z <= kLastElement; ++z) {
      char* s = detail::xrl::atomicNumberToSymbol(z);
      if (s != nullptr) {
        symbols_[z] = s;
        detail::xrl::free(s);
      }
    }
  }
  const char* symbol(int z) const {
    if (z < 1 || z > kLastElement || symbols_[z].empty()) return nullptr;
    return symbols_[z].c_str();
  }

 private:
  std::array<std::string, kLastElement + 1> symbols_;
};

const SymbolTable& symbolTable() {
  static const SymbolTable table;
  return table;
}

// Built at load so that symbol() never races on first use.
const SymbolTable& kSymbolsAtLoad = symbolTable();

bool byElement(const ElementChemistry& a, const ElementChemistry& b) { return a.element < b.element; }

}  // namespace

Element::Element(const char* symbol)
    : atomicNumber_(symbol == nullptr ? 0 : detail::xrl::symbolToAtomicNumber(symbol)) {}

const char* Element::symbol() const { return symbolTable().symbol(atomicNumber_); }

std::string printableSymbol(const Element& element) {
  const char* s = element.symbol();
  if (s != nullptr) return s;
  return "Z=" + std::to_string(element.atomicNumber());
}

Compound::Compound(const compoundData& data) {
  for (int i = 0; i < data.nElements; ++i)
    insert(ElementChemistry(Element(data.Elements[i]), data.massFractions[i], 0.0));
}

Compound Compound::createPure(int atomicNumber) {
  Compound c;
  c.entries_.emplace_back(Element(atomicNumber), 1.0, 0.0);
  return c;
}

bool Compound::fromFormula(const char* formula, Compound& out) {
  if (formula == nullptr) {
    CALYX_LOG_ERR("cannot parse a chemical formula: it is null");
    return false;
  }
  return fromFormula(std::string(formula), out);
}

bool Compound::fromFormula(const std::string& formula, Compound& out) {
  compoundData* data = detail::xrl::compoundParser(formula.c_str());
  if (data == nullptr) return false;
  out = Compound(*data);
  detail::xrl::freeCompoundData(data);
  return true;
}

void Compound::set(const ElementChemistry& entry) {
  auto it = std::lower_bound(entries_.begin(), entries_.end(), entry, byElement);
  if (it != entries_.end() && it->element == entry.element) {
    it->fraction = entry.fraction;
    it->uncertainty = entry.uncertainty;
  } else {
    entries_.insert(it, entry);
  }
}

bool Compound::insert(const ElementChemistry& entry) {
  auto it = std::lower_bound(entries_.begin(), entries_.end(), entry, byElement);
  if (it != entries_.end() && it->element == entry.element) return false;
  entries_.insert(it, entry);
  return true;
}

const ElementChemistry* Compound::find(const Element& element) const {
  ElementChemistry probe(element, 0.0, 0.0);
  auto it = std::lower_bound(entries_.begin(), entries_.end(), probe, byElement);
  if (it != entries_.end() && it->element == element) return &*it;
  return nullptr;
}

std::string compoundToString(const Compound& compound) {
  std::ostringstream out;
  out << "\n";
  for (const ElementChemistry& e : compound) {
    const char* symbol = e.element.symbol();
    if (symbol == nullptr) {
      // As a stream given a null text would: stop here, keep what was written.
      out.setstate(std::ios_base::badbit);
      break;
    }
    out << symbol << " : " << e.fraction << "\n";
  }
  return out.str();
}

}  // namespace calyx
