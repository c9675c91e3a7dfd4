/// @file
/// Elements, element chemistry and compounds: the smallest value types of the library.
///
/// Element data (symbols, atomic numbers) and the chemical-formula parser come from xraylib;
/// these types only wrap them. Example: a Compound parsed from "SiO2" holds
///
///     O  : fraction 0.532535, uncertainty 0
///     Si : fraction 0.467465, uncertainty 0
///
/// (entries always in ascending atomic number, whatever the order in the formula).
/// All three are plain values without shared state: copy them freely, use them from any
/// thread (one writer per object).
#ifndef CALYX_CHEMISTRY_H
#define CALYX_CHEMISTRY_H

#include <cstddef>
#include <string>
#include <vector>

#include "calyx/export.h"

struct compoundData;  // xraylib's parse result; see xraylib-parser.h

namespace calyx {

/// A chemical element, held as its atomic number Z. Valid elements have Z in 1..107;
/// 0 stands for an unknown symbol. Ordered by atomic number.
class CALYX_EXPORT Element {
 public:
  Element() = default;
  /// From an atomic number, without a check.
  Element(int atomicNumber) : atomicNumber_(atomicNumber) {}  // NOLINT: implicit by design
  /// From a chemical symbol, exact and case-sensitive ("Fe", not "FE"); an unknown
  /// symbol (or a null pointer) gives Z = 0.
  Element(const char* symbol);  // NOLINT
  /// As Element(const char*).
  explicit Element(const std::string& symbol) : Element(symbol.c_str()) {}

  /// Z; 0 for an unknown symbol.
  int atomicNumber() const { return atomicNumber_; }
  /// The chemical symbol, or a null pointer for Z outside 1..107. The text lives as long
  /// as the library; the caller never releases it. Use printableSymbol() in messages.
  const char* symbol() const;

  bool operator<(const Element& o) const { return atomicNumber_ < o.atomicNumber_; }
  bool operator==(const Element& o) const { return atomicNumber_ == o.atomicNumber_; }
  bool operator!=(const Element& o) const { return atomicNumber_ != o.atomicNumber_; }

 private:
  int atomicNumber_ = 0;
};

/// The symbol of an element for messages and reports: the chemical symbol, or `"Z=<n>"`
/// for an element without one (an unknown symbol read from a file gives Z = 0).
CALYX_EXPORT std::string printableSymbol(const Element& element);

/// One element of a composition: mass fraction (1.0 = 100 %) and its absolute uncertainty.
struct CALYX_EXPORT ElementChemistry {
  ElementChemistry() = default;
  ElementChemistry(Element e, double f, double u) : fraction(f), uncertainty(u), element(e) {}

  double fraction = 0.0;     ///< mass fraction, 1.0 = 100 %
  double uncertainty = 0.0;  ///< absolute, in mass fraction
  Element element;
};

/// An ordered set of ElementChemistry, unique by element, in ascending atomic number.
/// Fractions need not add up to 1; nothing here normalises them.
class CALYX_EXPORT Compound {
 public:
  using const_iterator = std::vector<ElementChemistry>::const_iterator;

  Compound() = default;
  /// From xraylib's CompoundParser result: each element with its mass fraction and
  /// uncertainty 0. The caller keeps ownership of `data` (release with FreeCompoundData).
  explicit Compound(const compoundData& data);

  /// One entry: the element with fraction 1.0 and uncertainty 0.0 (no check of Z).
  static Compound createPure(int atomicNumber);
  /// Parses a chemical formula ("Fe2O3", "SiO2") with xraylib. Returns false and leaves
  /// `out` unchanged when the formula does not parse.
  static bool fromFormula(const std::string& formula, Compound& out);
  /// As above; a null formula is refused (false, with an error in the log).
  static bool fromFormula(const char* formula, Compound& out);

  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  const_iterator begin() const { return entries_.begin(); }
  const_iterator end() const { return entries_.end(); }

  /// Inserts the entry, or overwrites fraction and uncertainty of the element's entry.
  void set(const ElementChemistry& entry);
  /// Inserts the entry unless the element is present already (the first entry stays).
  /// Returns true when it was inserted.
  bool insert(const ElementChemistry& entry);
  /// The element's entry, or a null pointer.
  const ElementChemistry* find(const Element& element) const;

 private:
  std::vector<ElementChemistry> entries_;  // sorted by element, unique
};

/// The text form of the quantification log: a newline, then per entry `"Sym : fraction\n"`
/// with the fraction as `%g` (six significant digits). An element without a symbol ends the
/// text there. An empty compound gives "\n".
CALYX_EXPORT std::string compoundToString(const Compound& compound);

}  // namespace calyx

#endif  // CALYX_CHEMISTRY_H
