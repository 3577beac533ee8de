namespace cpp generatortest

struct Bad {
  1: optional string name,
  1: optional i32 count
}
