// NuGetConsumer.cs - a program built the way a NuGet user builds one: against the
// QelZmq assembly that `nuget install` put into its packages folder. Usage: PORT.
using System;
using System.Threading.Tasks;
using QelZmq;

internal static class NuGetConsumer
{
    private static int Main(string[] args)
    {
        using (var connection = new QelConnection("127.0.0.1", int.Parse(args[0])))
        {
            string answer = connection.Execute("return 'nuget', 6*7");
            Task<string> later = connection.ExecuteAsync("return 'async', 7*6");
            Console.WriteLine(answer);
            Console.WriteLine(later.Result);
            Console.WriteLine(connection.Call("return 'call', select('#', ...)", 1, "two", null));
        }
        return 0;
    }
}
