// QelZmqTest.cs - checks the C# binding against the real library and a running
// qel-lua-service: answers, Lua errors, UTF-8 both ways, large replies, no leak over
// many calls, argument and lifetime errors, the SafeHandle's release through the
// finalizer and on a thread abort, ExecuteAsync and its cancellation, Call's arguments,
// CallJson and the nullable annotations. Usage: QelZmqTest.exe PORT (on 127.0.0.1).
using System;
using System.Collections;
using System.Collections.Generic;
using System.Globalization;
using System.IO;
using System.Net;
using System.Net.Sockets;
using System.Reflection;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;
using System.Threading.Tasks;
using QelZmq;

internal static class QelZmqTest
{
    private const string Host = "127.0.0.1";
    private static int port;
    private static int passed;
    private static readonly List<string> failures = new List<string>();

    private static int Main(string[] args)
    {
        if (args.Length != 1 || !int.TryParse(args[0], out port))
        {
            Console.Error.WriteLine("usage: QelZmqTest.exe PORT");
            return 2;
        }
        var referenced = new HashSet<string>();
        foreach (AssemblyName name in typeof(QelConnection).Assembly.GetReferencedAssemblies())
            referenced.Add(name.Name);
        Console.WriteLine("binding refers to " + string.Join(", ", Sorted(referenced)));

        Check("answer", () =>
        {
            using (var c = Connect())
                Equal("42", c.Execute("return 6*7"));
        });
        Check("empty answer", () =>
        {
            using (var c = Connect())
                Equal("", c.Execute("local x = 1"));
        });
        Check("Lua error reply", () =>
        {
            using (var c = Connect())
            {
                string answer = c.Execute("error('boom')");
                True(answer.StartsWith("error: ", StringComparison.Ordinal) && answer.Contains("boom"), answer);
                Equal("ok", c.Execute("return 'ok'")); // an error reply is an answer like any other
            }
        });
        Check("non-ASCII text both ways", () =>
        {
            const string text = "Grüße, Welt ✓ 日本 \U0001F600";
            using (var c = Connect())
            {
                // Lua's # counts bytes: it tells the script really arrived as UTF-8.
                string answer = c.Execute("local s = 'Grüße, ' .. 'Welt ✓ 日本 \U0001F600' return s, #s");
                Equal(text + "\t" + Encoding.UTF8.GetByteCount(text), answer);
                Equal("5", c.Execute("return utf8.len('Grüße')"));
            }
        });
        Check("raw bytes both ways", () =>
        {
            using (var c = Connect())
            {
                // Latin-1 "é" is not UTF-8; ExecuteBytes passes it through untouched.
                byte[] script = Concat(Encoding.ASCII.GetBytes("return '"), new byte[] { 0xE9 },
                                       Encoding.ASCII.GetBytes("', #'"), new byte[] { 0xE9 },
                                       Encoding.ASCII.GetBytes("'"));
                byte[] answer = c.ExecuteBytes(script);
                Equal(BitConverter.ToString(new byte[] { 0xE9, (byte)'\t', (byte)'1' }), BitConverter.ToString(answer));
            }
        });
        Check("1 MiB reply", () =>
        {
            using (var c = Connect())
            {
                string answer = c.Execute("return string.rep('x', 2^20)");
                Equal(1048576, answer.Length);
                True(answer.Replace("x", "").Length == 0, "answer holds other characters than x");
            }
        });
        Check("1,000 calls without memory growth", () =>
        {
            // Each answer is 64 KiB, so answers never given back would add 64 MiB.
            const string script = "return string.rep('y', 65536)";
            const long marginKiB = 16 * 1024;
            using (var c = Connect())
            {
                for (int i = 0; i < 100; i++)
                    c.Execute(script);
                Collect();
                long before = RssKiB();
                for (int i = 0; i < 1000; i++)
                {
                    if (c.Execute(script).Length != 65536)
                        throw new Exception("call " + i + " answered the wrong length");
                }
                Collect();
                long after = RssKiB();
                Console.WriteLine("  RSS before {0} KiB, after {1} KiB", before, after);
                True(after - before < marginKiB,
                     string.Format("RSS grew by {0} KiB over 1,000 calls", after - before));
            }
        });
        Check("threads sharing one connection", () =>
        {
            // Overlapping calls on one handle would break the REQ socket's alternation.
            using (var c = Connect())
            {
                var errors = new List<string>();
                var threads = new List<Thread>();
                for (int t = 0; t < 4; t++)
                {
                    int id = t;
                    var thread = new Thread(() =>
                    {
                        try
                        {
                            for (int i = 0; i < 100; i++)
                            {
                                string expected = (id * 1000 + i).ToString();
                                string answer = c.Execute("return " + expected);
                                if (answer != expected)
                                    throw new Exception("expected " + expected + ", got " + answer);
                            }
                        }
                        catch (Exception e)
                        {
                            lock (errors) errors.Add(e.Message);
                        }
                    });
                    thread.Start();
                    threads.Add(thread);
                }
                foreach (var thread in threads)
                    True(thread.Join(TimeSpan.FromSeconds(60)), "a thread did not finish within 60 s");
                True(errors.Count == 0, string.Join("; ", errors.ToArray()));
            }
        });
        Check("NUL in the script raises ArgumentException", () =>
        {
            using (var c = Connect())
            {
                Throws<ArgumentException>(() => c.Execute("return 1\0 + 1"));
                Throws<ArgumentException>(() => c.ExecuteBytes(new byte[] { (byte)'x', 0 }));
                Throws<ArgumentNullException>(() => c.Execute(null));
                Equal("2", c.Execute("return 1 + 1")); // nothing was sent, the handle is fine
            }
        });
        Check("NUL in the host raises ArgumentException", () =>
        {
            Throws<ArgumentException>(() => new QelConnection("127.0.0.1\0junk", port));
        });
        Check("refused endpoint raises QelException", () =>
        {
            // The library prints ZeroMQ's reason with C's printf: no newline, no flush.
            // Flushing here keeps it beside this check instead of after the summary.
            Throws<QelException>(() => new QelConnection("no such host", port));
            EndCLine();
            Throws<QelException>(() => new QelConnection(Host, -1));
            EndCLine();
        });
        Check("use after Dispose raises ObjectDisposedException", () =>
        {
            var c = Connect();
            Equal("1", c.Execute("return 1"));
            c.Dispose();
            c.Dispose(); // a second Dispose does nothing
            Throws<ObjectDisposedException>(() => c.Execute("return 1"));
            Throws<ObjectDisposedException>(() => c.ExecuteBytes(new byte[] { (byte)'x' }));
        });
        // Each handle holds two ZeroMQ threads, so the process's thread count shows
        // whether handles were freed. These run before any ExecuteAsync has started the
        // thread pool, whose workers would blur the count.
        Check("a connection never disposed is freed by its finalizer", () =>
        {
            long before = ThreadCount();
            Forget(10);
            True(ThreadCount() >= before + 20, "10 connections did not add 20 threads");
            Collect();
            WaitForThreads(before);
        });
        // Three rounds, each aborting at another moment of the churn.
        for (int round = 0; round < 3; round++)
            Check("an aborted thread leaves no handle behind", AbortChurn);
        Check("QelException has the standard constructors", () =>
        {
            var inner = new InvalidOperationException("cause");
            True(new QelException().Message.Length > 0, "no default message");
            Equal("m", new QelException("m").Message);
            True(new QelException("m", inner).InnerException == inner, "the cause is lost");
        });
        Check("ExecuteAsync runs off the caller's thread", () =>
        {
            using (var c = Connect())
            {
                // Some tenths of a second of Lua: done at once only if run right here.
                Task<string> busy = c.ExecuteAsync("local n = 0 for i = 1, 3e7 do n = n + 1 end return n");
                True(!busy.IsCompleted, "ExecuteAsync returned only after the answer");
                True(busy.Wait(TimeSpan.FromSeconds(120)), "no answer within 120 s");
                Equal("30000000", busy.Result);
            }
        });
        Check("ExecuteAsync calls on one connection never overlap", () =>
        {
            // Two overlapping calls would break the REQ socket's alternation.
            using (var c = Connect())
            {
                var answers = new List<Task<string>>();
                for (int i = 0; i < 50; i++)
                    answers.Add(c.ExecuteAsync("return " + i));
                Equal("blocking", c.Execute("return 'blocking'")); // waits its turn too
                True(Task.WaitAll(answers.ToArray(), TimeSpan.FromSeconds(120)), "not all answered");
                for (int i = 0; i < answers.Count; i++)
                    Equal(i.ToString(), answers[i].Result);
                Throws<ArgumentException>(() => c.ExecuteAsync("nul\0"));
                c.Dispose();
                Task<string> late = c.ExecuteAsync("return 1");
                Throws<AggregateException>(() => late.Wait(TimeSpan.FromSeconds(60)));
                True(late.Exception.InnerException is ObjectDisposedException, late.Exception.ToString());
            }
        });

        Check("Call: every argument arrives exactly", () =>
        {
            var all256 = new byte[256];
            for (int i = 0; i < 256; i++)
                all256[i] = (byte)i;
            var nested = new Dictionary<object, object> {
                { "k", new List<object> { 1, null, "x" } }, { 7L, true }, { 0.5, new object[0] },
                { all256, "bytes key" }, { false, double.NegativeInfinity } };
            var shared = new[] { 1, 2 }; // the same array twice is no cycle
            var values = new List<object> { null, true, false };
            values.AddRange(HostileArguments());
            values.AddRange(new object[] {
                (sbyte)-128, (byte)255, (short)-32768, (ushort)65535, int.MinValue, uint.MaxValue,
                long.MinValue, long.MaxValue, (ulong)long.MaxValue, 0, -1, 10,
                0.0, -0.0, 1.0, -1.5, 0.1, 1e308, double.Epsilon, -double.Epsilon, 2.2250738585072009e-308,
                double.MaxValue, double.PositiveInfinity, double.NegativeInfinity, double.NaN, 3.25f,
                float.MinValue, 0.5m, -2.75m, 1e20m, new decimal(ulong.MaxValue) + 1,
                new[] { 1, 2, 3 }, new object[] { null, "b", null }, new List<string> { "x", "]]" },
                nested, new object[] { shared, shared }, DBNull.Value });
            using (var c = Connect())
            {
                foreach (object value in values)
                    Equal("1:" + Describe(value), c.Call(DescribeScript, value));
                var expected = new List<string>();
                foreach (object value in values)
                    expected.Add(Describe(value));
                Equal(values.Count + ":" + string.Join(" ", expected.ToArray()), c.Call(DescribeScript, values.ToArray()));
                Equal("0:", c.Call(DescribeScript));
                Equal("3:nil nil nil", c.CallAsync(DescribeScript, new object[3]).Result);
            }
        });
        Check("Call: the script's line numbers are its own", () =>
        {
            using (var c = Connect())
            {
                foreach (string script in new[] { "error('x')", "\n\nerror('x')", "local a = \n nil + 1", "return +" })
                    Equal(c.Execute(script), c.Call(script, 1));
            }
        });
        Check("Call: an argument with no Lua literal throws before anything is sent", () =>
        {
            var cycle = new List<object> { 1 };
            cycle.Add(new Dictionary<string, object> { { "back", new object[] { cycle } } });
            var cases = new Dictionary<string, object[]> {
                { "ArgumentException", new object[] { cycle, new object(), 'c', DateTime.Now, CancellationToken.None,
                                                      "\uD800", new[] { "ok", "\uDC00" }, new int[1, 1], 0.1m,
                                                      new decimal(ulong.MaxValue),
                                                      new Dictionary<double, int> { { double.NaN, 1 } },
                                                      new Hashtable { { new object[0], 1 } } } },
                { "ArgumentOutOfRangeException", new object[] { ulong.MaxValue, (ulong)long.MaxValue + 1 } } };
            // Nothing listens there: had anything been sent, the call would wait for ever.
            using (var dead = new QelConnection(Host, FreePort()))
            using (var c = Connect())
            {
                foreach (var row in cases)
                {
                    foreach (object bad in row.Value)
                    {
                        ThrowsNamed(row.Key, () => dead.CallAsync("return 1", new[] { 1, bad }));
                        ThrowsNamed(row.Key, () => c.Call("return 1", bad));
                    }
                }
                Throws<ArgumentNullException>(() => c.Call("return 1", null));
                string seen = Message(() => c.Call("return 1", cycle));
                True(seen.Contains("contains itself"), "the cycle was not seen: " + seen);
                Equal("ok", c.Execute("return 'ok'"));
            }
        });
        Check("CallJson decodes the script's JSON answer", () =>
        {
            using (var c = Connect())
            {
                const string list = "return json.encode({...})";
                Equal("4,5,6", string.Join(",", c.CallJson<int[]>(list, 4, 5, 6)));
                var map = c.CallJson<Dictionary<string, string>>("local k, v = ...\nreturn json.encode({[k] = v})", "k", "v");
                Equal("v", map["k"]);
                Equal("1,2", string.Join(",", c.CallJsonAsync<long[]>(list, new object[] { 1, 2 },
                                                                     CancellationToken.None).Result));
                Throws<QelException>(() => c.CallJson<int>("error('no')"));
                Throws<System.Runtime.Serialization.SerializationException>(() => c.CallJson<int>("return '{'"));
            }
        });
        Check("cancelling releases the caller and gives the connection up", () =>
        {
            var listener = new TcpListener(IPAddress.Loopback, 0);
            listener.Start();
            var silent = new QelConnection(Host, ((IPEndPoint)listener.LocalEndpoint).Port);
            var cancel = new CancellationTokenSource();
            Task<string> stuck = silent.ExecuteAsync("return 'stuck'", cancel.Token);
            // Only a call whose request went out gives the connection up when cancelled.
            Socket peer = TakeRequest(listener, "return 'stuck'");
            Task<string> queued = silent.CallAsync("return 2", new object[0]);
            // A continuation run inline by the cancel that calls again must fail, not wait.
            Task<bool> inline = stuck.ContinueWith(done => Message(() => silent.Execute("return 3")).Contains("given up"),
                                                   TaskContinuationOptions.ExecuteSynchronously);
            var precancelled = new CancellationToken(true);
            True(silent.ExecuteAsync("return 4", precancelled).IsCanceled, "a cancelled token still sent");
            cancel.Cancel();
            Throws<AggregateException>(() => stuck.Wait(TimeSpan.FromSeconds(30)));
            True(stuck.IsCanceled, "the task is " + stuck.Status);
            foreach (Task later in new Task[] { queued, silent.ExecuteAsync("return 5"),
                                                 silent.CallJsonAsync<int>("return 6", new object[0], CancellationToken.None) })
            {
                Throws<AggregateException>(() => later.Wait(TimeSpan.FromSeconds(30)));
                True(later.Exception.InnerException is QelException, later.Exception.ToString());
            }
            Throws<QelException>(() => silent.Call("return 7"));
            True(inline.Wait(TimeSpan.FromSeconds(30)) && inline.Result, "the inline call did not fail at once");
            var dispose = Task.Factory.StartNew(silent.Dispose);
            True(dispose.Wait(TimeSpan.FromSeconds(30)), "Dispose waited for the stuck call");
            Throws<ObjectDisposedException>(() => silent.Execute("return 8"));
            // The answer at last (the REP envelope: an empty delimiter, then the body) lets the
            // stuck call return, and only then may its handle go: its ZeroMQ threads end. A
            // call left inside the library would meet mono's exit, which cannot always
            // interrupt it and may then wait for it for ever.
            long zeroMq = ZeroMqThreads();
            True(zeroMq >= 2, "the given-up connection has no ZeroMQ threads");
            peer.Send(new byte[] { 1, 0, 0, 4, (byte)'l', (byte)'a', (byte)'t', (byte)'e' });
            for (int i = 0; i < 600 && ZeroMqThreads() > zeroMq - 2; i++)
                Thread.Sleep(50);
            True(ZeroMqThreads() <= zeroMq - 2, "the handle was not freed within 30 s of its call's answer");
            peer.Close();
            listener.Stop();
        });
        Check("cancelling a queued call spares the call under way", () =>
        {
            using (var c = Connect())
            {
                // Queued first, so that when its task completes the long call is next.
                Task<string> first = c.ExecuteAsync("return 'first'");
                Task<string> running = c.ExecuteAsync(
                    "local t = os.clock() repeat until os.clock() - t > 0.3 return 'ran'");
                var cancel = new CancellationTokenSource();
                Task<string> queued = c.CallAsync("return ...", new object[] { "queued" }, cancel.Token);
                Task<string> behind = c.ExecuteAsync("return 'behind'");
                True(first.Wait(TimeSpan.FromSeconds(30)), "no first answer within 30 s");
                cancel.Cancel();
                True(queued.IsCanceled, "the queued task is " + queued.Status);
                True(running.Wait(TimeSpan.FromSeconds(60)), "no answer to the running call within 60 s");
                Equal("ran", running.Result);
                True(behind.Wait(TimeSpan.FromSeconds(30)), "no answer to the call behind within 30 s");
                Equal("behind", behind.Result);
                Equal("after", c.Execute("return 'after'"));
                Task<string> again = c.ExecuteAsync("return 'again'", new CancellationTokenSource().Token);
                True(again.Wait(TimeSpan.FromSeconds(30)), "no answer to a later call within 30 s");
                Equal("again", again.Result);
            }
        });
        Check("nullable annotations as a C# 8 compiler reads them", () =>
        {
            // Where null may go in or come out; every other reference is annotated non-null.
            var nullable = new HashSet<string> {
                "QelException(message)", "QelException(innerException)", "Call(args[])", "CallAsync(args[])",
                "CallJson(return)", "CallJson(args[])", "CallJsonAsync(return<>)", "CallJsonAsync(args[])" };
            var seen = new HashSet<string>();
            foreach (Type type in new[] { typeof(QelException), typeof(QelConnection) })
            {
                var members = new List<MethodBase>(type.GetConstructors());
                members.AddRange(type.GetMethods(BindingFlags.Public | BindingFlags.Instance | BindingFlags.DeclaredOnly));
                foreach (MethodBase member in members)
                {
                    string name = member is ConstructorInfo ? type.Name : member.Name;
                    byte context = Flags(member.CustomAttributes, "NullableContextAttribute", Flags(
                        type.CustomAttributes, "NullableContextAttribute", new byte[] { 0 }))[0];
                    var slots = new List<KeyValuePair<string, ParameterInfo>>();
                    foreach (ParameterInfo parameter in ((MethodBase)member).GetParameters())
                        slots.Add(new KeyValuePair<string, ParameterInfo>(parameter.Name, parameter));
                    var method = member as MethodInfo;
                    if (method != null)
                        slots.Add(new KeyValuePair<string, ParameterInfo>("return", method.ReturnParameter));
                    foreach (var slot in slots)
                    {
                        Type t = slot.Value.ParameterType;
                        if (t.IsValueType || t == typeof(void))
                            continue;
                        byte[] flags = Flags(slot.Value.CustomAttributes, "NullableAttribute", new[] { context });
                        string at = name + "(" + slot.Key;
                        True(flags[0] != 0, at + ") carries no annotation");
                        if (flags[0] == 2)
                            seen.Add(at + ")");
                        if (flags.Length > 1 && flags[1] == 2)
                            seen.Add(at + (t.IsArray ? "[])" : "<>)"));
                    }
                }
            }
            Equal(string.Join(", ", Sorted(nullable)), string.Join(", ", Sorted(seen)));
        });

        Console.WriteLine("{0} passed, {1} failed", passed, failures.Count);
        foreach (string failure in failures)
            Console.WriteLine("FAILED: " + failure);
        return failures.Count == 0 ? 0 : 1;
    }

    [DllImport("libc", CallingConvention = CallingConvention.Cdecl)]
    private static extern int fflush(IntPtr stream);

    private static void EndCLine()
    {
        fflush(IntPtr.Zero); // NULL: every C output stream
        Console.WriteLine();
    }

    private static QelConnection Connect()
    {
        return new QelConnection(Host, port);
    }

    private static void Check(string name, Action test)
    {
        try
        {
            test();
            passed++;
            Console.WriteLine("ok   " + name);
        }
        catch (Exception e)
        {
            failures.Add(name + ": " + e.Message);
            Console.WriteLine("FAIL " + name + ": " + e);
        }
    }

    private static void Equal<T>(T expected, T actual)
    {
        if (!EqualityComparer<T>.Default.Equals(expected, actual))
            throw new Exception(string.Format("expected <{0}>, got <{1}>", Shorten(expected), Shorten(actual)));
    }

    private static string Shorten<T>(T value)
    {
        string text = Convert.ToString(value);
        return text.Length > 200 ? text.Substring(0, 200) + "... (" + text.Length + " characters)" : text;
    }

    private static void True(bool condition, string message)
    {
        if (!condition)
            throw new Exception(message);
    }

    private static void Throws<E>(Action action) where E : Exception
    {
        try
        {
            action();
        }
        catch (E)
        {
            return;
        }
        catch (Exception e)
        {
            throw new Exception("expected " + typeof(E).Name + ", got " + e.GetType().Name + ": " + e.Message);
        }
        throw new Exception("expected " + typeof(E).Name + ", nothing was thrown");
    }

    private static byte[] Concat(params byte[][] parts)
    {
        var all = new List<byte>();
        foreach (byte[] part in parts)
            all.AddRange(part);
        return all.ToArray();
    }

    private static readonly Random jitter = new Random();

    private static void AbortChurn()
    {
        long before = ThreadCount();
        var running = new ManualResetEvent(false);
        var churn = new Thread(() =>
        {
            for (int i = 0; ; i++)
            {
                using (var c = Connect())
                    c.Execute("return 1");
                if (i == 20)
                    running.Set();
            }
        });
        churn.Start();
        True(running.WaitOne(TimeSpan.FromSeconds(60)), "the thread made no 20 connections");
        Thread.Sleep(jitter.Next(50)); // a different moment each round
        churn.Abort(); // wherever it is: inside the library, between calls, in Dispose
        True(churn.Join(TimeSpan.FromSeconds(60)), "the aborted thread did not end");
        Collect();
        WaitForThreads(before + 1); // the aborted thread may not be gone from /proc yet
    }

    [System.Runtime.CompilerServices.MethodImpl(System.Runtime.CompilerServices.MethodImplOptions.NoInlining)]
    private static void Forget(int count)
    {
        // In a frame of its own, so no local keeps the connections reachable.
        for (int i = 0; i < count; i++)
            Equal("1", Connect().Execute("return 1"));
    }

    private static long ThreadCount()
    {
        return Directory.GetDirectories("/proc/self/task").Length;
    }

    // ZeroMQ names its threads ZMQbg/...; each live handle has two.
    private static long ZeroMqThreads()
    {
        long count = 0;
        foreach (string task in Directory.GetDirectories("/proc/self/task"))
        {
            try
            {
                if (File.ReadAllText(Path.Combine(task, "comm")).StartsWith("ZMQbg/", StringComparison.Ordinal))
                    count++;
            }
            catch (IOException)
            {
                // The thread ended between the listing and the read.
            }
        }
        return count;
    }

    private static void WaitForThreads(long most)
    {
        // freeHandle joins a handle's threads; the kernel may list one a moment longer.
        for (int i = 0; i < 200 && ThreadCount() > most; i++)
        {
            Thread.Sleep(50);
            if (i % 20 == 19)
                Collect(); // a finalizer frees what an abort left unreferenced
        }
        if (ThreadCount() > most)
        {
            var names = new List<string>();
            foreach (string task in Directory.GetDirectories("/proc/self/task"))
                names.Add(File.ReadAllText(Path.Combine(task, "comm")).Trim());
            throw new Exception(string.Format("{0} threads ({1}), {2} expected", names.Count,
                                              string.Join(", ", names.ToArray()), most));
        }
    }

    private static void Collect()
    {
        GC.Collect();
        GC.WaitForPendingFinalizers();
        GC.Collect();
    }

    private static long RssKiB()
    {
        foreach (string line in File.ReadAllLines("/proc/self/status"))
        {
            if (line.StartsWith("VmRSS:", StringComparison.Ordinal))
                return long.Parse(line.Substring(6).Trim().Split(' ')[0]);
        }
        throw new Exception("/proc/self/status has no VmRSS line");
    }
    // Renders Lua values as text that C# can compute independently (integers in decimal,
    // floats as their IEEE bytes, strings as hex, tables as sorted pairs), so each argument
    // is compared byte for byte without the binding's own encoding.
    private const string DescribeScript = @"local function hex(s)
  return (s:gsub('.', function(c) return string.format('%02x', c:byte()) end))
end
local function d(v)
  local t = math.type(v) or type(v)
  if t == 'integer' then return 'i' .. string.format('%d', v) end
  if t == 'float' then return v ~= v and 'nan' or 'f' .. hex(string.pack('<d', v)) end
  if t == 'string' then return 's' .. hex(v) end
  if t ~= 'table' then return tostring(v) end
  local parts = {}
  for k, x in pairs(v) do parts[#parts + 1] = d(k) .. '=' .. d(x) end
  table.sort(parts)
  return '{' .. table.concat(parts, ',') .. '}'
end
local out = {}
for i = 1, select('#', ...) do out[i] = d((select(i, ...))) end
return select('#', ...) .. ':' .. table.concat(out, ' ')";

    private static string Describe(object v)
    {
        if (v == null || v is DBNull)
            return "nil";
        if (v is bool)
            return (bool)v ? "true" : "false";
        if (v is string || v is byte[])
            return "s" + Hex(v as byte[] ?? Encoding.UTF8.GetBytes((string)v));
        if (v is float || v is double || v is decimal)
        {
            double d = Convert.ToDouble(v, CultureInfo.InvariantCulture);
            return double.IsNaN(d) ? "nan" : "f" + Hex(BitConverter.GetBytes(d));
        }
        var parts = new List<string>();
        if (v is IDictionary)
        {
            foreach (DictionaryEntry entry in (IDictionary)v)
                parts.Add(Describe(entry.Key) + "=" + Describe(entry.Value));
        }
        else if (v is IList)
        {
            var list = (IList)v;
            for (int i = 0; i < list.Count; i++)
            {
                if (list[i] != null)
                    parts.Add(Describe(i + 1) + "=" + Describe(list[i]));
            }
        }
        else
            return "i" + Convert.ToString(v, CultureInfo.InvariantCulture);
        return "{" + string.Join(",", Sorted(parts)) + "}";
    }

    // The corpus that the C and Python argument writers' tests send too, named by
    // QEL_HOSTILE_STRINGS (run.sh sets it): one value a line in hexadecimal ("-" for the
    // empty one), a note after a space, "#" lines and blank lines skipped. Each value comes
    // back as byte[], and as a string too when it is UTF-8; any other line, a corpus with no
    // value, or one with no value of either kind, throws.
    private static List<object> HostileArguments()
    {
        string path = Environment.GetEnvironmentVariable("QEL_HOSTILE_STRINGS");
        if (string.IsNullOrEmpty(path))
            throw new Exception("QEL_HOSTILE_STRINGS names no corpus");
        byte[] file = File.ReadAllBytes(path);
        var text = new StringBuilder(file.Length);
        foreach (byte b in file)
            text.Append((char)b); // byte for byte: the notes may be in any encoding
        var strict = new UTF8Encoding(false, true);
        var arguments = new List<object>();
        int number = 0, texts = 0;
        foreach (string line in text.ToString().Split('\n'))
        {
            number++;
            if (line.Length == 0 || line[0] == '#')
                continue;
            int space = line.IndexOf(' ');
            byte[] value = FromHex(space < 0 ? line : line.Substring(0, space));
            if (value == null)
                throw new Exception(path + ":" + number + ": not a value: " + line);
            arguments.Add(value);
            try
            {
                arguments.Add(strict.GetString(value));
                texts++;
            }
            catch (DecoderFallbackException)
            {
            }
        }
        True(arguments.Count > 0, path + " holds no value");
        True(texts > 0, path + " holds no value that is UTF-8");
        True(arguments.Count > 2 * texts, path + " holds no value that is not UTF-8");
        return arguments;
    }

    // Two hexadecimal digits for each byte, or "-" for none; null for anything else.
    private static byte[] FromHex(string digits)
    {
        if (digits == "-")
            return new byte[0];
        if (digits.Length == 0 || digits.Length % 2 != 0)
            return null;
        var bytes = new byte[digits.Length / 2];
        for (int i = 0; i < bytes.Length; i++)
        {
            int high = HexDigit(digits[2 * i]), low = HexDigit(digits[2 * i + 1]);
            if (high < 0 || low < 0)
                return null;
            bytes[i] = (byte)(high * 16 + low);
        }
        return bytes;
    }

    private static int HexDigit(char c)
    {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    }

    private static string Hex(byte[] bytes)
    {
        return BitConverter.ToString(bytes).Replace("-", "").ToLowerInvariant();
    }

    private static string[] Sorted(IEnumerable<string> items)
    {
        var sorted = new List<string>(items);
        sorted.Sort(string.CompareOrdinal);
        return sorted.ToArray();
    }

    // The flags of the named attribute of System.Runtime.CompilerServices, or otherwise.
    private static byte[] Flags(IEnumerable<CustomAttributeData> attributes, string name, byte[] otherwise)
    {
        foreach (CustomAttributeData attribute in attributes)
        {
            if (attribute.AttributeType.FullName != "System.Runtime.CompilerServices." + name)
                continue;
            object argument = attribute.ConstructorArguments[0].Value;
            if (argument is byte)
                return new[] { (byte)argument };
            var list = (IList<CustomAttributeTypedArgument>)argument;
            var flags = new byte[list.Count];
            for (int i = 0; i < flags.Length; i++)
                flags[i] = (byte)list[i].Value;
            return flags;
        }
        return otherwise;
    }

    // Plays a service that takes one request and never answers: accepts the library's
    // connection, greets it as a ZeroMQ REP socket (ZMTP 3.0, NULL mechanism) and reads
    // until the request's text has arrived. Bounded by 30 s.
    private static Socket TakeRequest(TcpListener listener, string request)
    {
        True(listener.Server.Poll(30000000, SelectMode.SelectRead), "the library did not connect within 30 s");
        Socket peer = listener.AcceptSocket();
        peer.ReceiveTimeout = 30000;
        var greeting = new byte[64];
        greeting[0] = 0xFF;
        greeting[9] = 0x7F;
        greeting[10] = 3;
        Encoding.ASCII.GetBytes("NULL", 0, 4, greeting, 12);
        var ready = new List<byte> { 0x04, 0 };
        ready.AddRange(Encoding.ASCII.GetBytes("\u0005READY\u000bSocket-Type"));
        ready.AddRange(new byte[] { 0, 0, 0, 3 });
        ready.AddRange(Encoding.ASCII.GetBytes("REP"));
        ready[1] = (byte)(ready.Count - 2);
        peer.Send(greeting);
        peer.Send(ready.ToArray());
        var seen = new StringBuilder();
        var buffer = new byte[4096];
        while (seen.ToString().IndexOf(request, StringComparison.Ordinal) < 0)
        {
            int read = peer.Receive(buffer); // SocketException after 30 s of silence
            True(read > 0, "the library closed the connection before its request arrived");
            seen.Append(Encoding.GetEncoding("iso-8859-1").GetString(buffer, 0, read));
        }
        return peer;
    }

    // A loopback port nothing listens on: bound by the system, then let go.
    private static int FreePort()
    {
        var listener = new TcpListener(IPAddress.Loopback, 0);
        listener.Start();
        int free = ((IPEndPoint)listener.LocalEndpoint).Port;
        listener.Stop();
        return free;
    }

    private static string Message(Action action)
    {
        try
        {
            action();
        }
        catch (Exception e)
        {
            return e.Message;
        }
        return "nothing was thrown";
    }

    private static void ThrowsNamed(string exception, Action action)
    {
        try
        {
            action();
        }
        catch (Exception e)
        {
            if (e.GetType().Name != exception)
                throw new Exception("expected " + exception + ", got " + e.GetType().Name + ": " + e.Message);
            return;
        }
        throw new Exception("expected " + exception + ", nothing was thrown");
    }
}
