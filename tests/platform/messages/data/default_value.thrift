namespace cpp generatortest

struct Bad {
  1: optional i32 count = 5
}
