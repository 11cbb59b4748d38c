-- hello.lua - an example script for qel-lua: prints a greeting and returns a
-- small table summary, showing print capture and return values in one answer.
local words = {"Hello", "from", _VERSION}
print(table.concat(words, " "))

local squares = {}
for i = 1, 5 do squares[#squares + 1] = i * i end
return "squares:", table.concat(squares, ","), "sum:", 1 + 4 + 9 + 16 + 25
