namespace cpp generatortest

typedef i32 Count

struct Bad {
  1: optional string name,
  2: optional Count count
}
