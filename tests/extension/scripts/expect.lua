-- Deep comparison with a readable report; the scripts' tests stop at the first mismatch.
local expect = {}

local function show(value, indent)
  indent = indent or ""
  if type(value) ~= "table" then
    return type(value) == "string" and string.format("%q", value) or tostring(value)
  end
  local keys = {}
  for k in pairs(value) do keys[#keys + 1] = k end
  table.sort(keys, function(a, b) return tostring(a) < tostring(b) end)
  local parts = {}
  for _, k in ipairs(keys) do
    parts[#parts + 1] = indent .. "  " .. tostring(k) .. " = " .. show(value[k], indent .. "  ")
  end
  return "{\n" .. table.concat(parts, ",\n") .. "\n" .. indent .. "}"
end

local function same(a, b)
  if type(a) ~= type(b) then return false end
  if type(a) == "number" then return math.abs(a - b) <= 1e-9 end
  if type(a) ~= "table" then return a == b end
  for k, v in pairs(a) do
    if not same(v, b[k]) then return false end
  end
  for k in pairs(b) do
    if a[k] == nil then return false end
  end
  return true
end

function expect.equal(actual, expected, what)
  if not same(actual, expected) then
    error(what .. ":\nexpected " .. show(expected) .. "\nactual   " .. show(actual), 2)
  end
end

-- Runs each case by name; reports every failing case and fails at the end.
function expect.cases(list)
  local failed = 0
  for _, case in ipairs(list) do
    local ok, err = pcall(case[2])
    if ok then
      print("ok    " .. case[1])
    else
      failed = failed + 1
      print("FAIL  " .. case[1] .. "\n" .. tostring(err))
    end
  end
  if failed > 0 then
    io.stderr:write(failed .. " case(s) failed\n")
    os.exit(1)
  end
end

return expect
