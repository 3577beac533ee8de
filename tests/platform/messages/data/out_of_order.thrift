namespace cpp generatortest

enum Colour {
  Red = 0
}

/* Fields may be declared in any order;
   the table lists them by id. */
struct Nested {
  10: optional binary raw,
  2: optional list<Nested> children   // a struct may hold itself
  1: optional map<string, set<i64>> groups;
}
